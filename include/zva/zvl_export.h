#ifndef ZVA_ZVL_EXPORT_H_
#define ZVA_ZVL_EXPORT_H_

// Marks what the shared library exports. Everything else is built with
// hidden visibility and stays private to libzvaclient.
#if defined(ZVA_BUILDING_LIBRARY)
#define ZVA_EXPORT __attribute__((visibility("default")))
#else
#define ZVA_EXPORT
#endif

#endif  // ZVA_ZVL_EXPORT_H_
