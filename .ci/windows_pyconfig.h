/* pyconfig.h for building a CPython extension for 64-bit Windows with MinGW-w64 against the
   interpreter's other headers as another platform installs them (.ci/windows; used with 3.11's). It
   states only what those headers read: the platform, the DLL linkage of the API and the sizes of the
   C types, as the MSVC-built interpreter has them. The interpreter's own build settings (pymalloc,
   30-bit digits, no debug build, no trace refs) are the headers' defaults or need no macro here. */
#ifndef KORVEX_WINDOWS_PYCONFIG_H
#define KORVEX_WINDOWS_PYCONFIG_H

#if !defined(_WIN64) || !defined(__MINGW64__)
#error "this pyconfig.h is for 64-bit Windows builds with MinGW-w64"
#endif

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD

/* The API lives in pythonXY.dll: functions and data are __declspec(dllimport), the module's init
   function __declspec(dllexport). */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* LLP64: long is 32 bits, wchar_t is 16 (UTF-16). */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4
#define HAVE_SSIZE_T 1
#define HAVE_WCHAR_H 1
#define HAVE_STDDEF_H 1
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define WITH_PYMALLOC 1
#define WITH_DOC_STRINGS 1

#endif
