#ifndef ZVA_PLATFORM_THREAD_ANNOTATIONS_H_
#define ZVA_PLATFORM_THREAD_ANNOTATIONS_H_

// Lock annotations for clang's -Wthread-safety, which then refuses to build
// code that touches a guarded member without its lock or takes a lock twice.
// Other compilers see empty macros.
//
// Annotate the capability type (Mutex), the members it guards, and the
// functions that expect it held or not held:
//
//   Mutex mtx_;
//   int count_ ZV_GUARDED_BY(mtx_);
//   void BumpLocked() ZV_REQUIRES(mtx_);

#if defined(__clang__)
#define ZV_THREAD_ANNOTATION_(x) __attribute__((x))
#else
#define ZV_THREAD_ANNOTATION_(x)
#endif

// A type whose objects are locks ("mutex" names the kind in messages).
#define ZV_CAPABILITY(x) ZV_THREAD_ANNOTATION_(capability(x))
// A scoped holder of a lock: takes it in its constructor, drops it in its
// destructor.
#define ZV_SCOPED_CAPABILITY ZV_THREAD_ANNOTATION_(scoped_lockable)

// The member may be read or written only with lock `x` held.
#define ZV_GUARDED_BY(x) ZV_THREAD_ANNOTATION_(guarded_by(x))
// What the pointer member points to may be used only with lock `x` held.
#define ZV_PT_GUARDED_BY(x) ZV_THREAD_ANNOTATION_(pt_guarded_by(x))

// Lock ordering: this lock is taken after / before the ones named.
#define ZV_ACQUIRED_AFTER(...) \
  ZV_THREAD_ANNOTATION_(acquired_after(__VA_ARGS__))
#define ZV_ACQUIRED_BEFORE(...) \
  ZV_THREAD_ANNOTATION_(acquired_before(__VA_ARGS__))

// The caller must hold / must not hold the locks named.
#define ZV_REQUIRES(...) ZV_THREAD_ANNOTATION_(requires_capability(__VA_ARGS__))
#define ZV_REQUIRES_SHARED(...) \
  ZV_THREAD_ANNOTATION_(requires_shared_capability(__VA_ARGS__))
#define ZV_EXCLUDES(...) ZV_THREAD_ANNOTATION_(locks_excluded(__VA_ARGS__))

// The function takes / drops the locks named (its own object when none is
// named).
#define ZV_ACQUIRE(...) ZV_THREAD_ANNOTATION_(acquire_capability(__VA_ARGS__))
#define ZV_RELEASE(...) ZV_THREAD_ANNOTATION_(release_capability(__VA_ARGS__))
// The function takes the lock when it returns `b` (for TryLock).
#define ZV_TRY_ACQUIRE(...) \
  ZV_THREAD_ANNOTATION_(try_acquire_capability(__VA_ARGS__))

// The function checks at run time that the lock is held; the analysis takes
// it as held from there on.
#define ZV_ASSERT_CAPABILITY(x) ZV_THREAD_ANNOTATION_(assert_capability(x))
// The function returns a reference to the lock named.
#define ZV_RETURN_CAPABILITY(x) ZV_THREAD_ANNOTATION_(lock_returned(x))

// Turns the analysis off for one function whose locking it cannot follow;
// say why at each use.
#define ZV_NO_THREAD_SAFETY_ANALYSIS \
  ZV_THREAD_ANNOTATION_(no_thread_safety_analysis)

#endif  // ZVA_PLATFORM_THREAD_ANNOTATIONS_H_
