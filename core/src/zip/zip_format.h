// The numbers of the ZIP format that the writer produces and the reader
// accepts, with each record's layout beside its constants. All fields are
// little-endian; offsets are from the start of the record.
#ifndef QUARLEN_ZIP_ZIP_FORMAT_H_
#define QUARLEN_ZIP_ZIP_FORMAT_H_

#include <cstdint>

namespace quarlen::zip {

// Little-endian fields read from bytes the caller has checked are there.
inline uint16_t le16(const char* p) {
  return static_cast<uint16_t>(static_cast<unsigned char>(p[0]) |
                               static_cast<unsigned char>(p[1]) << 8);
}
inline uint32_t le32(const char* p) {
  return static_cast<uint32_t>(le16(p)) | static_cast<uint32_t>(le16(p + 2)) << 16;
}
inline uint64_t le64(const char* p) {
  return static_cast<uint64_t>(le32(p)) | static_cast<uint64_t>(le32(p + 4)) << 32;
}

// Local file header, in front of each entry's data:
//   0 signature  4 version needed  6 flags  8 method  10 time  12 date
//   14 crc-32  18 compressed size  22 uncompressed size
//   26 name length  28 extra length  30 name, then extra, then the data
inline constexpr uint32_t kLocalHeaderSignature = 0x04034b50;
inline constexpr uint64_t kLocalFlagsOffset = 6;
inline constexpr uint64_t kLocalHeaderSize = 30;  // + name + extra
inline constexpr uint64_t kLocalCrcOffset = 14;   // crc-32, then both sizes
inline constexpr uint64_t kLocalNameLengthOffset = 26;

// Data descriptor, after the data of an entry whose local header has the
// data-descriptor flag: an optional signature, the crc-32, then the
// compressed and uncompressed sizes, 4 bytes each (8 in a Zip64 entry).
inline constexpr uint32_t kDescriptorSignature = 0x08074b50;
inline constexpr uint64_t kMaxDescriptorSize = 24;

// Central directory header, one per entry:
//   0 signature  4 version made by  6 version needed  8 flags  10 method
//   12 time  14 date  16 crc-32  20 compressed size  24 uncompressed size
//   28 name length  30 extra length  32 comment length  34 disk start
//   36 internal attributes  38 external attributes  42 local header offset
//   46 name, then extra, then comment
inline constexpr uint32_t kCentralHeaderSignature = 0x02014b50;
inline constexpr uint64_t kCentralHeaderSize = 46;  // + name + extra + comment

// End of central directory record, the last record of the file:
//   0 signature  4 this disk  6 disk where the central directory starts
//   8 entries on this disk  10 entries in all  12 central directory size
//   16 central directory offset  20 comment length  22 comment
inline constexpr uint32_t kEndSignature = 0x06054b50;
inline constexpr uint64_t kEndSize = 22;  // + comment
inline constexpr uint64_t kMaxCommentSize = 0xFFFF;
// The record may stand behind a comment of any 16-bit length.
inline constexpr uint64_t kEndSearchSize = kEndSize + kMaxCommentSize;

// Zip64 end of central directory locator, just before the end record:
//   0 signature  4 disk holding the Zip64 end record
//   8 Zip64 end record offset  16 number of disks
inline constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
inline constexpr uint64_t kZip64LocatorSize = 20;

// Zip64 end of central directory record:
//   0 signature  4 size of the rest of the record  12 version made by
//   14 version needed  16 this disk  20 disk where the central directory
//   starts  24 entries on this disk  32 entries in all
//   40 central directory size  48 central directory offset  56 extensible data
inline constexpr uint32_t kZip64EndSignature = 0x06064b50;
inline constexpr uint64_t kZip64EndSize = 56;  // + extensible data
inline constexpr uint64_t kZip64EndSizeFieldBias = 12;  // the size field leaves out signature and itself

// Extra field block: 0 header id  2 data length  4 data. The Zip64
// extended-information field holds, in this order, an 8-byte value for each
// of uncompressed size, compressed size and local header offset whose
// 32-bit field is 0xFFFFFFFF, then a 4-byte disk start number if that field
// is 0xFFFF.
inline constexpr uint16_t kZip64ExtraId = 0x0001;
// The Unicode path field: a name in UTF-8 that readers who know the field
// use in place of the stored one.
inline constexpr uint16_t kUnicodePathExtraId = 0x7075;
inline constexpr uint64_t kExtraHeaderSize = 4;  // + data

// The longest entry name: its length is a 16-bit field.
inline constexpr uint64_t kMaxNameSize = 0xFFFF;

// Values that do not fit a field are replaced by these markers.
inline constexpr uint16_t kMax16 = 0xFFFF;
inline constexpr uint32_t kMax32 = 0xFFFFFFFF;

// Fixed header values of every entry written.
inline constexpr uint16_t kVersionMadeBy = 0x0314;       // Unix host, version 2.0
inline constexpr uint16_t kVersionMadeByZip64 = 0x032D;  // Unix host, version 4.5
inline constexpr uint16_t kVersionNeeded = 20;           // 2.0: deflate
inline constexpr uint16_t kVersionNeededZip64 = 45;      // 4.5: Zip64 structures
inline constexpr uint16_t kDosTime = 0x0000;             // 00:00:00
inline constexpr uint16_t kDosDate = 0x0021;             // 1980-01-01
inline constexpr uint32_t kExternalAttributes = 0x81A40000;  // Unix mode 0o100644
inline constexpr uint16_t kInternalAttributes = 0;

// General-purpose flags.
inline constexpr uint16_t kFlagEncrypted = 1 << 0;
inline constexpr uint16_t kFlagDataDescriptor = 1 << 3;
inline constexpr uint16_t kFlagPatched = 1 << 5;
inline constexpr uint16_t kFlagStrongEncryption = 1 << 6;
inline constexpr uint16_t kFlagUtf8 = 1 << 11;

// Systems of "version made by" (its high byte) whose names some readers
// convert to another code page: all FAT and HPFS, and NTFS from version 5.0.
inline constexpr int kSystemFat = 0;
inline constexpr int kSystemHpfs = 6;
inline constexpr int kSystemNtfs = 11;
inline constexpr int kConvertedNtfsVersion = 50;
// Systems whose external attributes some readers take as MS-DOS ones, where
// this bit marks a volume label, which they skip.
inline constexpr int kSystemAtari = 5;
inline constexpr uint32_t kDosVolumeLabel = 0x08;

// "Version needed to extract" (its low byte): an entry asking for more than
// kMaxVersionNeeded makes some readers refuse the whole archive, and one
// asking for more than kMaxVersionRead, or naming a system in the high byte
// (whose own storage format readers then expect), is skipped by others.
inline constexpr uint8_t kMaxVersionNeeded = 63;
inline constexpr uint8_t kMaxVersionRead = 46;

// Compression methods.
inline constexpr uint16_t kMethodStored = 0;
inline constexpr uint16_t kMethodDeflate = 8;

// One byte of deflate data expands to at most this many bytes: the longest
// match (258 bytes) coded in two bits.
inline constexpr uint64_t kMaxDeflateRatio = 1032;

}  // namespace quarlen::zip

#endif  // QUARLEN_ZIP_ZIP_FORMAT_H_
