#pragma once
// Host stand-ins for the tuning converters, and the binary tuning format they
// write and the sensor side reads.
//
// A tuning XML document names its block on its document element:
//   <AE block="AE" id="16433" bypass="0"> <gain>1.5</gain> <table>1 2 3</table> </AE>
// `block` (letters, digits, "_" and "-"), `id` (decimal, or hexadecimal with
// "0x") and the optional `bypass` word (default 0). Its values are the numbers
// of every element text below the document element, in document order.
//
// Binary tuning file "<block>_<id>.bin" (id in decimal), little-endian: a
// header, then the values as 32-bit floats.
//   block file (name without "TRG"), 40 bytes:
//     0 "ZBLK" | 4 header size 40 | 8 value count | 12 bypass word (int32)
//     16 block id (uint64) | 24 checksum | 28..39 zero
//   trigger file (name containing "TRG"), 48 bytes:
//     0 "ZTRG" | 4 header size 48 | 8 bypass word (int32) | 12 value count
//     16 block id (uint64) | 24 checksum | 28..47 zero
// The checksum is FNV-1a (32-bit) of the value bytes; the bypass word is not
// part of it, so patching the word leaves the file valid.
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
// Converts the tuning XML folder `xmlDir` into binary tuning files below
// `binDir`: every regular ".xml" file of the folder and its sub-folders becomes
// "<block>_<id>.bin" in the same sub-folder of `binDir` (made when missing;
// files of the same name are replaced, others left alone). The 3A blocks (AE,
// AF and AWB, with or without a "TRG_" prefix) are left to the converter
// plugin. Nothing is written through a link: a link where a file or folder
// goes is replaced or refused. `platform` is the platform code, "R7". Returns the number of files
// written, or -1 for a missing folder or an unknown platform code; documents
// that do not convert are logged and skipped.
int XML2BinAdapter(const char* xmlDir, const char* binDir, const char* platform);
}

// Entry "cfgxmlparse" of the converter plugin "libcorvale.so": the same
// conversion for the 3A blocks only. Returns what XML2BinAdapter returns.
typedef int (*cfgxmlparse_fn)(const char* xmlDir, const char* binDir);

namespace zeb_platform {

constexpr size_t kTuningBlockHeaderSize = 40;
constexpr size_t kTuningTriggerHeaderSize = 48;

// A tuning XML document, read.
struct TuningDocument {
    bool ok = false;
    std::string error;
    std::string block;
    uint64_t id = 0;
    int32_t bypass = 0;
    std::vector<float> values;
};
TuningDocument ReadTuningDocument(const std::string& xmlPath);

// "<block>_<id>.bin".
std::string TuningBinName(const std::string& block, uint64_t id);
// Whether a file of this name carries the trigger header: it contains "TRG".
bool IsTriggerTuningName(const std::string& name);
// Whether the block is converted by the plugin rather than by XML2BinAdapter.
bool IsThreeABlock(const std::string& block);
uint32_t TuningChecksum(const std::vector<float>& values);

// The bytes of the binary tuning file of a document.
std::vector<uint8_t> EncodeTuningBin(const TuningDocument& document);

// A binary tuning file, read and checked against its name (header kind, magic,
// header size, length, checksum, and the id the name ends with).
struct TuningBin {
    bool ok = false;
    std::string error;
    bool trigger = false;
    uint64_t id = 0;
    int32_t bypass = 0;
    uint32_t checksum = 0;
    std::vector<float> values;
};
TuningBin DecodeTuningBin(const std::string& name, const std::vector<uint8_t>& bytes);

// The vendor side's own careful file access (it stands apart from the
// library): a regular file no larger than `cap` read whole, refusing a link
// at its name, a pipe, a device or a folder without waiting on any; a file
// written to a temporary file beside it and renamed over its name, so a link
// there is replaced, never written through; folders made level by level below
// `root`, each a real folder, never a link. `why` names a refusal.
bool ReadRegularFile(const std::string& path, uint64_t cap, std::vector<uint8_t>* out, std::string* why);
bool WriteReplacing(const std::string& path, const std::vector<uint8_t>& bytes, std::string* why);
bool MakeFoldersBelow(const std::string& root, const std::string& relative, std::string* why);
// `text` with control characters escaped, for a log line.
std::string Escaped(const std::string& text);

enum class TuningBlocks { All, ThreeA, Others };
// The conversion behind XML2BinAdapter and the plugin; -1 when `xmlDir` is not
// a folder or `binDir` is not a folder of its own (a link there is refused),
// else the number of files written. Tuning XML is read as regular files of at
// most 64 MiB nested at most 64 deep; the rest is logged and not converted.
int ConvertTuningFolder(const std::string& xmlDir, const std::string& binDir, TuningBlocks which);

}  // namespace zeb_platform
