// The Objective-C runtime's basic types as Apple's headers declare them, for compile checks on
// machines without Apple's SDK (scripts/check-macos).
#pragma once

// BOOL is bool on Apple silicon and signed char on Intel Macs, as in Apple's objc.h.
#if defined(__arm64__) || defined(__aarch64__)
typedef bool BOOL;
#define YES __objc_yes
#define NO __objc_no
#else
typedef signed char BOOL;
#define YES __objc_yes
#define NO __objc_no
#endif

#define nil nullptr
#define OBJC_ROOT_CLASS __attribute__((objc_root_class))
