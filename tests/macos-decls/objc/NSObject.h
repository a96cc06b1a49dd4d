// The root class and protocol as Apple's objc/NSObject.h declares the parts gattrelay relies on,
// for compile checks on machines without Apple's SDK (scripts/check-macos).
#pragma once

#import <objc/objc.h>

#pragma clang assume_nonnull begin

@protocol NSObject
@end

OBJC_ROOT_CLASS
@interface NSObject <NSObject> {
    Class isa;
}
+ (instancetype)alloc;
- (instancetype)init;
@end

#pragma clang assume_nonnull end
