/*
 * orukiv: symbol visibility for the exported interface.
 *
 * ORUKIV_BUILDING is defined while the shared library itself is compiled;
 * ORUKIV_STATIC is defined when the library's sources are linked statically
 * (the project's own unit tests), so nothing is imported or exported.
 */
#ifndef ORUKIV_EXPORT_H
#define ORUKIV_EXPORT_H

#if defined(ORUKIV_STATIC)
#define ORUKIV_API
#elif defined(_WIN32)
#if defined(ORUKIV_BUILDING)
#define ORUKIV_API __declspec(dllexport)
#else
#define ORUKIV_API __declspec(dllimport)
#endif
#else
#define ORUKIV_API __attribute__((visibility("default")))
#endif

/* The C functions are exported on Windows through the .def file, so they
 * carry no dllexport; on POSIX they need default visibility. */
#if defined(_WIN32) || defined(ORUKIV_STATIC)
#define ORUKIV_C_API
#else
#define ORUKIV_C_API __attribute__((visibility("default")))
#endif

#endif /* ORUKIV_EXPORT_H */
