/* Basic types of the s7serial library.
 * Every "32-bit" value is exactly 32 bits on every platform (int32_t /
 * uint32_t), never the platform's long. Compiles as C and as C++. */
#ifndef S7SERIAL_S7TYPES_H
#define S7SERIAL_S7TYPES_H

#include <stdint.h>

/* Marks the calls the shared library exports; everything else in it is
 * hidden (the library is built with -fvisibility=hidden). */
#if defined(__GNUC__) || defined(__clang__)
#define S7SERIAL_API __attribute__((visibility("default")))
#else
#define S7SERIAL_API
#endif

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int32_t BOOL;

typedef BYTE *LPBYTE;
typedef BYTE *PBYTE;
typedef WORD *LPWORD;
typedef DWORD *LPDWORD;
typedef int *LPINT;
typedef LONG *LPLONG;
typedef void *LPVOID;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#ifdef __cplusplus
static_assert(sizeof(BYTE) == 1, "BYTE is 8 bits");
static_assert(sizeof(WORD) == 2, "WORD is 16 bits");
static_assert(sizeof(DWORD) == 4, "DWORD is 32 bits");
static_assert(sizeof(LONG) == 4, "LONG is 32 bits");
static_assert(sizeof(BOOL) == 4, "BOOL is 32 bits");
#else
_Static_assert(sizeof(BYTE) == 1, "BYTE is 8 bits");
_Static_assert(sizeof(WORD) == 2, "WORD is 16 bits");
_Static_assert(sizeof(DWORD) == 4, "DWORD is 32 bits");
_Static_assert(sizeof(LONG) == 4, "LONG is 32 bits");
_Static_assert(sizeof(BOOL) == 4, "BOOL is 32 bits");
#endif

#endif
