#pragma once
// Host stand-in for the platform's thread-safety annotations. Under clang with
// -Wthread-safety the compiler checks that every member marked GUARDED_BY is
// touched only with its mutex held; other compilers see empty macros.
#if defined(__clang__)
#define ZEB_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZEB_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) ZEB_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY ZEB_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) ZEB_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) ZEB_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) ZEB_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) ZEB_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) ZEB_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) ZEB_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) ZEB_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) ZEB_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) ZEB_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) ZEB_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) ZEB_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS ZEB_THREAD_ANNOTATION(no_thread_safety_analysis)
