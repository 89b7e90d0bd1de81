// Annotations for clang's thread-safety analysis (-Wthread-safety): which
// mutex guards which data, and which functions need a mutex held or must not
// hold it. They expand to nothing for other compilers, so g++ builds see
// plain declarations.
//
// The capability types they name are in common/mutex.h; std::mutex itself
// carries no annotations, so guarded data must sit behind korvan::Mutex for
// the analysis to see anything.
#pragma once

#if defined(__clang__)
#define KORVAN_THREAD_ANNOTATION_(x) __attribute__((x))
#else
#define KORVAN_THREAD_ANNOTATION_(x)
#endif

// A class that is a lock (a mutex type); `name` appears in the warnings.
#define KORVAN_CAPABILITY(name) KORVAN_THREAD_ANNOTATION_(capability(name))
// An RAII class that holds a capability from construction to destruction.
#define KORVAN_SCOPED_CAPABILITY KORVAN_THREAD_ANNOTATION_(scoped_lockable)

// The member or variable is read and written only with `mu` held.
#define KORVAN_GUARDED_BY(mu) KORVAN_THREAD_ANNOTATION_(guarded_by(mu))
// What the pointer points to is read and written only with `mu` held.
#define KORVAN_PT_GUARDED_BY(mu) KORVAN_THREAD_ANNOTATION_(pt_guarded_by(mu))

// Lock order: this mutex is taken after (before) the ones named.
#define KORVAN_ACQUIRED_AFTER(...) KORVAN_THREAD_ANNOTATION_(acquired_after(__VA_ARGS__))
#define KORVAN_ACQUIRED_BEFORE(...) KORVAN_THREAD_ANNOTATION_(acquired_before(__VA_ARGS__))

// The caller must hold the capabilities (exclusively, or at least shared).
#define KORVAN_REQUIRES(...) KORVAN_THREAD_ANNOTATION_(requires_capability(__VA_ARGS__))
#define KORVAN_REQUIRES_SHARED(...) KORVAN_THREAD_ANNOTATION_(requires_shared_capability(__VA_ARGS__))

// The function takes the capabilities and returns with them held.
#define KORVAN_ACQUIRE(...) KORVAN_THREAD_ANNOTATION_(acquire_capability(__VA_ARGS__))
#define KORVAN_ACQUIRE_SHARED(...) KORVAN_THREAD_ANNOTATION_(acquire_shared_capability(__VA_ARGS__))
// The function gives the capabilities back; the caller held them.
#define KORVAN_RELEASE(...) KORVAN_THREAD_ANNOTATION_(release_capability(__VA_ARGS__))
#define KORVAN_RELEASE_SHARED(...) KORVAN_THREAD_ANNOTATION_(release_shared_capability(__VA_ARGS__))
// The function holds the capabilities on return when it returns `result`
// (the first argument), and does not otherwise.
#define KORVAN_TRY_ACQUIRE(...) KORVAN_THREAD_ANNOTATION_(try_acquire_capability(__VA_ARGS__))
#define KORVAN_TRY_ACQUIRE_SHARED(...) KORVAN_THREAD_ANNOTATION_(try_acquire_shared_capability(__VA_ARGS__))

// The caller must not hold the capabilities: the function takes them itself,
// or calls something that does.
#define KORVAN_EXCLUDES(...) KORVAN_THREAD_ANNOTATION_(locks_excluded(__VA_ARGS__))

// The function checks at run time that the capability is held; after the
// call the analysis assumes it is.
#define KORVAN_ASSERT_CAPABILITY(x) KORVAN_THREAD_ANNOTATION_(assert_capability(x))
#define KORVAN_ASSERT_SHARED_CAPABILITY(x) KORVAN_THREAD_ANNOTATION_(assert_shared_capability(x))

// The function returns a reference to the capability `x` (an accessor).
#define KORVAN_RETURN_CAPABILITY(x) KORVAN_THREAD_ANNOTATION_(lock_returned(x))

// Leaves the function out of the analysis; for the few places whose locking
// the analysis cannot follow. Say why at every use.
#define KORVAN_NO_THREAD_SAFETY_ANALYSIS KORVAN_THREAD_ANNOTATION_(no_thread_safety_analysis)
