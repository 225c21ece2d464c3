// Clang thread-safety analysis attributes (-Wthread-safety). Other compilers
// see empty macros, so annotated code stays portable.
#pragma once

#if defined(__clang__)
#define QM_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QM_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) QM_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY QM_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) QM_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) QM_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) QM_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) QM_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) QM_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) QM_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) QM_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) QM_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) QM_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) QM_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) QM_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) QM_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define TRY_ACQUIRE_SHARED(...) QM_THREAD_ANNOTATION(try_acquire_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) QM_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) QM_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) QM_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS QM_THREAD_ANNOTATION(no_thread_safety_analysis)
