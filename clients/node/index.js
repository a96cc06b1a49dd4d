export { Bridge } from './lib/bridge.js';
export { World } from './lib/world.js';
export { BridgeError, BridgeStartError, BridgeClosedError } from './lib/errors.js';
