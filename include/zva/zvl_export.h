#ifndef ZVA_ZVL_EXPORT_H_
#define ZVA_ZVL_EXPORT_H_

// Marks what the shared library exports. Everything else is built with
// hidden visibility and stays private to libzvaclient.
//
// ZVA_NO_EXPORT marks a member of an exported class that only the library
// itself uses: it is declared in a public header because a class is declared
// once, but it is not part of what the shared library exports. Outside the
// library both expand to nothing, so that a consumer's own visibility
// settings meet no attribute of ours.
#if defined(ZVA_BUILDING_LIBRARY)
#define ZVA_EXPORT __attribute__((visibility("default")))
#define ZVA_NO_EXPORT __attribute__((visibility("hidden")))
#else
#define ZVA_EXPORT
#define ZVA_NO_EXPORT
#endif

#endif  // ZVA_ZVL_EXPORT_H_
