// The Dispatch declarations gattrelay uses, written from Apple's public documentation, for
// compile checks on machines without Apple's SDK (scripts/check-macos). In Objective-C, dispatch
// objects are Objective-C objects that ARC manages, as in Apple's headers (OS_OBJECT_USE_OBJC).
#pragma once

#include <stdint.h>

#import <objc/NSObject.h>

extern "C" {
#pragma clang assume_nonnull begin

@protocol OS_dispatch_object <NSObject>
@end
typedef NSObject<OS_dispatch_object>* dispatch_object_t;

@protocol OS_dispatch_queue <OS_dispatch_object>
@end
typedef NSObject<OS_dispatch_queue>* dispatch_queue_t;

@protocol OS_dispatch_queue_serial <OS_dispatch_queue>
@end
@protocol OS_dispatch_queue_main <OS_dispatch_queue_serial>
@end
typedef NSObject<OS_dispatch_queue_main>* dispatch_queue_main_t;

typedef void (^dispatch_block_t)(void);
typedef uint64_t dispatch_time_t;

#define DISPATCH_TIME_NOW (0ull)

dispatch_queue_main_t dispatch_get_main_queue(void);
dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta);
void dispatch_async(dispatch_queue_t queue, dispatch_block_t block);
void dispatch_after(dispatch_time_t when, dispatch_queue_t queue, dispatch_block_t block);

#pragma clang assume_nonnull end
}
