/* Export macros of the four shared libraries.
 *
 * Every library is built with hidden visibility; only declarations marked
 * with its macro are exported. On Windows the macro is dllexport while the
 * library itself is built (its target defines <NAME>_BUILDING) and dllimport
 * for its users; elsewhere it is default visibility in both cases. */
#ifndef VEK4_EXPORT_H
#define VEK4_EXPORT_H

#if defined(_WIN32)
#define VEK4_DLL_EXPORT __declspec(dllexport)
#define VEK4_DLL_IMPORT __declspec(dllimport)
#else
#define VEK4_DLL_EXPORT __attribute__((visibility("default")))
#define VEK4_DLL_IMPORT __attribute__((visibility("default")))
#endif

#if defined(VEK4CMS_BUILDING)
#define VEK4CMS_API VEK4_DLL_EXPORT
#else
#define VEK4CMS_API VEK4_DLL_IMPORT
#endif

#if defined(VEK4KIVOIDUP_BUILDING)
#define VEK4KIVOIDUP_API VEK4_DLL_EXPORT
#elif defined(_WIN32)
/* The provider's C functions are declared plainly for its users on Windows:
 * a call then goes through the import library's stub to the DLL, and the
 * same compiled code can instead be linked with a provider of the
 * program's own (the test provider). */
#define VEK4KIVOIDUP_API
#else
#define VEK4KIVOIDUP_API VEK4_DLL_IMPORT
#endif

#if defined(VEK4KIVOOIDTABLE_BUILDING)
#define VEK4KIVOOIDTABLE_API VEK4_DLL_EXPORT
#else
#define VEK4KIVOOIDTABLE_API VEK4_DLL_IMPORT
#endif

#if defined(VEK4KIVOSMIME_BUILDING)
#define VEK4KIVOSMIME_API VEK4_DLL_EXPORT
#else
#define VEK4KIVOSMIME_API VEK4_DLL_IMPORT
#endif

#endif /* VEK4_EXPORT_H */
