// Lets the module load on glibc 2.17 although it is built against a newer one.
//
// The module carries its own C++ runtime (libstdc++ linked in statically), and
// both that runtime and the core are compiled against the build machine's
// glibc. Some of the symbols they then ask of glibc are newer than 2.17; this
// file answers them inside the module. The module's export list keeps these
// definitions local, and the symbol versions the module still needs (what
// `auditwheel show` reads) show that nothing newer is left.
//
// Built into the module only, and only against glibc on x86-64: CMakeLists.txt
// adds the matching -Wl,--wrap options under the same condition.
#include <pthread.h>
#include <sys/stat.h>  // also defines __GLIBC__ where the C library is glibc

#if defined(__GLIBC__) && defined(__x86_64__)

extern "C" {

// libstdc++ reads this flag to skip atomic reference counting while the
// process has one thread; glibc defines it from 2.32 on. Zero means "there may
// be several threads", which is always correct, so every copy of the runtime
// inside the module binds to this one and takes the atomic path.
char __libc_single_threaded = 0;

// From glibc 2.33 on, fstat is a function of its own (fstat@GLIBC_2.33).
// Before, <sys/stat.h> turned it into __fxstat, which every glibc still
// provides under its first version. The module is linked with
// -Wl,--wrap=fstat, so every call to fstat inside it comes here.
int glibc_fxstat(int version, int fd, struct stat* st);
__asm__(".symver glibc_fxstat, __fxstat@GLIBC_2.2.5");

int __wrap_fstat(int fd, struct stat* st) {
  constexpr int kStatVersion = 1;  // _STAT_VER_LINUX: x86-64's struct stat
  return glibc_fxstat(kStatVersion, fd, st);
}

// glibc 2.38 gives strtoul a C23 variant (which also reads "0b" prefixes),
// and its headers send every call there: libstdc++ built against it calls
// __isoc23_strtoul to read the GLIBCXX_TUNABLES setting, in decimal. The
// strtoul of every glibc reads that the same way. Against an older glibc
// nothing calls this one.
unsigned long glibc_strtoul(const char* text, char** end, int base);
__asm__(".symver glibc_strtoul, strtoul@GLIBC_2.2.5");

unsigned long __isoc23_strtoul(const char* text, char** end, int base) {
  return glibc_strtoul(text, end, base);
}

// From glibc 2.34 on, the threads functions live in libc under a new
// version; every glibc still answers their first one (before 2.34 from
// libpthread). The module is linked with -Wl,--wrap for each.
int glibc_pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                         void* arg);
__asm__(".symver glibc_pthread_create, pthread_create@GLIBC_2.2.5");
int glibc_pthread_join(pthread_t thread, void** result);
__asm__(".symver glibc_pthread_join, pthread_join@GLIBC_2.2.5");
int glibc_pthread_once(pthread_once_t* once, void (*init)(void));
__asm__(".symver glibc_pthread_once, pthread_once@GLIBC_2.2.5");

int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                          void* arg) {
  return glibc_pthread_create(thread, attr, start, arg);
}
int __wrap_pthread_join(pthread_t thread, void** result) {
  return glibc_pthread_join(thread, result);
}
int __wrap_pthread_once(pthread_once_t* once, void (*init)(void)) {
  return glibc_pthread_once(once, init);
}

}  // extern "C"

#endif  // __GLIBC__ && __x86_64__
