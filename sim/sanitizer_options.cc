// Compiled into every program that links zvsim (an interface source of the
// library), so that the hook below is linked even where nothing else
// references it.

#if defined(__SANITIZE_THREAD__)
// The gRPC, protobuf and OpenSSL libraries of the system are not built with
// ThreadSanitizer, so it cannot see their synchronisation: memory they free
// and hand between their threads looks raced. Ignoring accesses that
// uninstrumented modules make through the sanitizer's interceptors removes
// exactly those reports and keeps every access made by code of ours.
// Options given in TSAN_OPTIONS still apply on top.
extern "C" const char* __tsan_default_options() {
  return "ignore_noninstrumented_modules=1";
}
#endif
