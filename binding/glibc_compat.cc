// Lets the module load on glibc 2.17 although it is built against a newer one.
//
// The module carries its own C++ runtime (libstdc++ linked in statically), and
// both that runtime and the core are compiled against the build machine's
// glibc. Two of the symbols they then ask of glibc are newer than 2.17; this
// file answers both inside the module. The module's export list keeps these
// definitions local, and the symbol versions the module still needs (what
// `auditwheel show` reads) show that nothing newer is left.
//
// Built into the module only, and only against glibc on x86-64: CMakeLists.txt
// adds the matching -Wl,--wrap=fstat under the same condition.
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

}  // extern "C"

#endif  // __GLIBC__ && __x86_64__
