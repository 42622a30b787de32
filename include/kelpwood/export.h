/* KELPWOOD_API: marks what the shared library exports. Usable from C and C++.
 *
 * The library is built with hidden visibility, so that only its own API
 * reaches the dynamic symbol table and the yaml-cpp, fmt and spdlog code
 * compiled into it stays private. Every public class, function and variable
 * carries KELPWOOD_API; the same attribute applies when a caller includes the
 * header, so a caller built with -fvisibility=hidden or
 * -fvisibility-inlines-hidden still binds to the library's definitions (the
 * one logger record above all). */
#ifndef KELPWOOD_EXPORT_H_
#define KELPWOOD_EXPORT_H_

#if defined(__GNUC__) || defined(__clang__)
#define KELPWOOD_API __attribute__((visibility("default")))
#define KELPWOOD_LOCAL __attribute__((visibility("hidden")))
#else
#define KELPWOOD_API
#define KELPWOOD_LOCAL
#endif

#endif /* KELPWOOD_EXPORT_H_ */
