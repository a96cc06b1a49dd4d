// The CoreBluetooth declarations gattrelay uses, written from Apple's public documentation with
// their real signatures, nullability and enumeration values, for compile checks on machines
// without Apple's SDK (scripts/check-macos). On a Mac the real SDK is used instead.
#pragma once

#import <Foundation/Foundation.h>

#define CB_EXTERN extern "C" __attribute__((visibility("default")))

NS_ASSUME_NONNULL_BEGIN

@class CBCentralManager, CBPeripheral, CBService, CBCharacteristic;
@protocol CBCentralManagerDelegate, CBPeripheralDelegate;

typedef NS_ENUM(NSInteger, CBManagerState) {
    CBManagerStateUnknown = 0,
    CBManagerStateResetting,
    CBManagerStateUnsupported,
    CBManagerStateUnauthorized,
    CBManagerStatePoweredOff,
    CBManagerStatePoweredOn,
};

typedef NS_ENUM(NSInteger, CBCharacteristicWriteType) {
    CBCharacteristicWriteWithResponse = 0,
    CBCharacteristicWriteWithoutResponse,
};

CB_EXTERN NSString* const CBCentralManagerOptionShowPowerAlertKey;
CB_EXTERN NSString* const CBCentralManagerScanOptionAllowDuplicatesKey;
CB_EXTERN NSString* const CBAdvertisementDataLocalNameKey;

@interface CBUUID : NSObject <NSCopying>
@property(nonatomic, readonly) NSData* data;
+ (CBUUID*)UUIDWithString:(NSString*)theString;
@end

typedef NS_ENUM(NSInteger, CBManagerAuthorization) {
    CBManagerAuthorizationNotDetermined = 0,
    CBManagerAuthorizationRestricted,
    CBManagerAuthorizationDenied,
    CBManagerAuthorizationAllowedAlways,
};

@interface CBManager : NSObject
@property(nonatomic, assign, readonly) CBManagerState state;
@property(class, nonatomic, assign, readonly) CBManagerAuthorization authorization;
@end

@interface CBPeer : NSObject <NSCopying>
@property(readonly, nonatomic) NSUUID* identifier;
@end

@interface CBAttribute : NSObject
@property(readonly, nonatomic) CBUUID* UUID;
@end

@interface CBService : CBAttribute
@property(retain, readonly, nullable) NSArray<CBCharacteristic*>* characteristics;
@end

@interface CBCharacteristic : CBAttribute
@property(retain, readonly, nullable) NSData* value;
@property(readonly) BOOL isNotifying;
@end

@interface CBPeripheral : CBPeer
@property(retain, readonly, nullable) NSString* name;
@property(weak, nonatomic, nullable) id<CBPeripheralDelegate> delegate;
@property(retain, readonly, nullable) NSArray<CBService*>* services;
- (NSUInteger)maximumWriteValueLengthForType:(CBCharacteristicWriteType)type;
- (void)discoverServices:(nullable NSArray<CBUUID*>*)serviceUUIDs;
- (void)discoverCharacteristics:(nullable NSArray<CBUUID*>*)characteristicUUIDs forService:(CBService*)service;
- (void)writeValue:(NSData*)data
    forCharacteristic:(CBCharacteristic*)characteristic
                 type:(CBCharacteristicWriteType)type;
- (void)setNotifyValue:(BOOL)enabled forCharacteristic:(CBCharacteristic*)characteristic;
@end

@interface CBCentralManager : CBManager
@property(nonatomic, weak, nullable) id<CBCentralManagerDelegate> delegate;
@property(nonatomic, assign, readonly) BOOL isScanning;
- (instancetype)initWithDelegate:(nullable id<CBCentralManagerDelegate>)delegate
                           queue:(nullable dispatch_queue_t)queue
                         options:(nullable NSDictionary<NSString*, id>*)options NS_DESIGNATED_INITIALIZER;
- (void)scanForPeripheralsWithServices:(nullable NSArray<CBUUID*>*)serviceUUIDs
                               options:(nullable NSDictionary<NSString*, id>*)options;
- (void)stopScan;
- (void)connectPeripheral:(CBPeripheral*)peripheral options:(nullable NSDictionary<NSString*, id>*)options;
- (void)cancelPeripheralConnection:(CBPeripheral*)peripheral;
- (NSArray<CBPeripheral*>*)retrieveConnectedPeripheralsWithServices:(NSArray<CBUUID*>*)serviceUUIDs;
@end

@protocol CBCentralManagerDelegate <NSObject>
@required
- (void)centralManagerDidUpdateState:(CBCentralManager*)central;
@optional
- (void)centralManager:(CBCentralManager*)central
    didDiscoverPeripheral:(CBPeripheral*)peripheral
        advertisementData:(NSDictionary<NSString*, id>*)advertisementData
                     RSSI:(NSNumber*)RSSI;
- (void)centralManager:(CBCentralManager*)central didConnectPeripheral:(CBPeripheral*)peripheral;
- (void)centralManager:(CBCentralManager*)central
    didFailToConnectPeripheral:(CBPeripheral*)peripheral
                         error:(nullable NSError*)error;
- (void)centralManager:(CBCentralManager*)central
    didDisconnectPeripheral:(CBPeripheral*)peripheral
                      error:(nullable NSError*)error;
- (void)centralManager:(CBCentralManager*)central
    didDisconnectPeripheral:(CBPeripheral*)peripheral
                  timestamp:(CFAbsoluteTime)timestamp
             isReconnecting:(BOOL)isReconnecting
                      error:(nullable NSError*)error;
@end

@protocol CBPeripheralDelegate <NSObject>
@optional
- (void)peripheral:(CBPeripheral*)peripheral didModifyServices:(NSArray<CBService*>*)invalidatedServices;
- (void)peripheral:(CBPeripheral*)peripheral didDiscoverServices:(nullable NSError*)error;
- (void)peripheral:(CBPeripheral*)peripheral
    didDiscoverCharacteristicsForService:(CBService*)service
                                   error:(nullable NSError*)error;
- (void)peripheral:(CBPeripheral*)peripheral
    didUpdateValueForCharacteristic:(CBCharacteristic*)characteristic
                              error:(nullable NSError*)error;
- (void)peripheral:(CBPeripheral*)peripheral
    didWriteValueForCharacteristic:(CBCharacteristic*)characteristic
                             error:(nullable NSError*)error;
- (void)peripheral:(CBPeripheral*)peripheral
    didUpdateNotificationStateForCharacteristic:(CBCharacteristic*)characteristic
                                          error:(nullable NSError*)error;
@end

NS_ASSUME_NONNULL_END
