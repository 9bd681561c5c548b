#include "zip/deflate.h"

#include <cassert>
#include <new>

namespace quarlen::zip {
namespace {

constexpr int kDeflateLevel = 6;
constexpr int kRawWindowBits = -15;  // negative: no zlib header or trailer
constexpr int kMemLevel = 8;

}  // namespace

Deflater::Deflater() {
  const int ret = deflateInit2(&stream, kDeflateLevel, Z_DEFLATED, kRawWindowBits, kMemLevel,
                               Z_DEFAULT_STRATEGY);
  if (ret == Z_MEM_ERROR) throw std::bad_alloc();
  assert(ret == Z_OK);  // the parameters are constants
}

Deflater::~Deflater() { deflateEnd(&stream); }

Inflater::Inflater() {
  const int ret = inflateInit2(&stream, kRawWindowBits);
  if (ret == Z_MEM_ERROR) throw std::bad_alloc();
  assert(ret == Z_OK);  // the parameters are constants
}

Inflater::~Inflater() { inflateEnd(&stream); }

}  // namespace quarlen::zip
