// The CoreFoundation declarations gattrelay uses, written from Apple's public documentation, for
// compile checks on machines without Apple's SDK (scripts/check-macos). On a Mac the real SDK is
// used instead.
#pragma once

#define CF_EXTERN_C_BEGIN extern "C" {
#define CF_EXTERN_C_END }
#define CF_ASSUME_NONNULL_BEGIN _Pragma("clang assume_nonnull begin")
#define CF_ASSUME_NONNULL_END _Pragma("clang assume_nonnull end")
#define CF_ENUM(_type, _name) enum __attribute__((enum_extensibility(open))) _name : _type _name; enum _name : _type

CF_EXTERN_C_BEGIN
CF_ASSUME_NONNULL_BEGIN

typedef double CFTimeInterval;
typedef CFTimeInterval CFAbsoluteTime;

typedef struct __attribute__((objc_bridge_mutable(id))) __CFRunLoop* CFRunLoopRef;

CFRunLoopRef CFRunLoopGetMain(void);
void CFRunLoopRun(void);
void CFRunLoopStop(CFRunLoopRef rl);

CF_ASSUME_NONNULL_END
CF_EXTERN_C_END
