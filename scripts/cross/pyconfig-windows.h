/* pyconfig.h for compiling limited-API (abi3) extension modules for 64-bit
 * Windows on another system: scripts/cross.sh puts it beside this machine's
 * CPython headers in place of their own pyconfig.h. It holds only what those
 * headers ask of a Windows build: the platform, the sizes of the C types
 * under the LLP64 model, and that the interpreter is a DLL whose functions
 * and data are imported (the module's init function is exported). */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD

#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4
#define ALIGNOF_MAX_ALIGN_T 8

#define HAVE_WCHAR_H 1
#define HAVE_STDDEF_H 1
#define STDC_HEADERS 1

#endif /* Py_CONFIG_H */
