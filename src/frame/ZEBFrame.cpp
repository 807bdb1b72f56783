#include "frame/ZEBFrame.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "platform/Log.h"

namespace ZEB {
namespace {

const char* const kTag = "ZEBFrame";

std::atomic<FrameReleaseHook> gReleaseHook{nullptr};

constexpr DataFileSpec kDataFiles[kDataFormatCount] = {
    {".mipi_raw", RowKind::Image, 0, false},
    {".raw", RowKind::Image, 0, true},
    {"cap.yuv_nv21", RowKind::Image, 0, false},
    {"afm.bin", RowKind::FileSized, 0, false},
    {"AEM_INFO.bin", RowKind::FixedArea, 196620, false},
    {"AEM_FOR_AWB.bin", RowKind::FixedArea, 196620, true},
    {"AE_RESULT_INFO.bin", RowKind::FixedArea, 1248, false},
    {"CAP_AE_PARAMS.bin", RowKind::FixedArea, 644, false},
    {"AWB_CALC_INFO.bin", RowKind::FixedArea, 120, false},
    {"pdaf.bin", RowKind::FileSized, 0, false},
    {"LSCM_INFO.bin", RowKind::FixedArea, 196620, false},
    {"CCM_INFO.bin", RowKind::FixedArea, 18, false},
    {"ISCENE_INFO.bin", RowKind::FixedArea, 8512, false},
    {"LSC_RESULT_INFO.bin", RowKind::FixedArea, 32, false},
    {"LSC4_RESULT_INFO.bin", RowKind::FixedArea, 208, false},
    {"LSC_RESULT_TABLE_INFO.bin", RowKind::FileSized, 0, false},
    {"HIST2_DATA_INFO.bin", RowKind::FileSized, 0, false},
    {"GTMHIST_DATA_INFO.bin", RowKind::FileSized, 0, false},
    {"AEM_DATA_INFO.bin", RowKind::FileSized, 0, false},
    {"LSCM_DATA_INFO.bin", RowKind::FileSized, 0, false},
    {"SCENE_DETECT_OUT.bin", RowKind::FixedArea, 4904, false},
    {"XTMHIST_INFO.bin", RowKind::FixedArea, 560, false},
    {"LTMHIST_INFO.bin", RowKind::FixedArea, 16396, false},
    {"LSC_RESULT_WTABLE_INFO.bin", RowKind::FileSized, 0, false},
    {"BAYHIST_INFO.bin", RowKind::FixedArea, 3144, false},
    {"HIST2_INFO.bin", RowKind::FixedArea, 1048, false},
    {"ZOLTDEF_INFO.bin", RowKind::FixedArea, 1392, false},
    {"CONTROL_INFO.bin", RowKind::FixedArea, 324, false},
    {"FD_ISP_INFO.bin", RowKind::FixedArea, 4368, false},
    {"FD_SNAPSHOT.bin", RowKind::FixedArea, 13864, false},
    {"XTM_RESULT_INFO.bin", RowKind::FixedArea, 17436, false},
    {"OFFLINE_AE_INFO.bin", RowKind::FixedArea, 128, false},
    {"OFFLINE_RESULT_INFO.bin", RowKind::FixedArea, 1256, false},
};

// Where each row's bytes live: a fixed area of the frame object, or a buffer
// the frame obtains with the usage given. One entry per row, the buffers
// first in the order they are obtained; the checks below hold every row to one
// entry and every area to the size of its row.
struct RowHome {
    DataFormat row;
    uint8_t* (*area)(ZEBFrame& frame);  // null for a buffer
    BufferHandle ZEBFrame::*buffer;     // null for a fixed area
    int usage;
};

template <auto kArea>
uint8_t* AreaOf(ZEBFrame& frame) {
    return frame.*kArea;
}

constexpr RowHome Buffer(DataFormat row, BufferHandle ZEBFrame::*buffer, int usage) {
    return {row, nullptr, buffer, usage};
}

template <DataFormat kRow, auto kArea>
constexpr RowHome Area() {
    static_assert(sizeof(std::declval<ZEBFrame&>().*kArea) == kDataFiles[kRow].fixedSize,
                  "a fixed area holds its row's size");
    return {kRow, &AreaOf<kArea>, nullptr, 0};
}

constexpr RowHome kRowHomes[] = {
    Buffer(DF_MIPI_RAW, &ZEBFrame::mMipiRawBuf, 3),
    Buffer(DF_YUV_NV21, &ZEBFrame::mYuvBuf, 2),
    Buffer(DF_RAW, &ZEBFrame::mRawBuf, 3),
    Buffer(DF_AFM, &ZEBFrame::mAfmBuf, 0),
    Buffer(DF_PDAF, &ZEBFrame::mPdafBuf, 0),
    Buffer(DF_LSC_RESULT_TABLE_INFO, &ZEBFrame::mLscTableBuf, 2),
    Buffer(DF_LSC_RESULT_WTABLE_INFO, &ZEBFrame::mLscWTableBuf, 2),
    Buffer(DF_HIST2_DATA_INFO, &ZEBFrame::mHist2DataBuf, 2),
    Buffer(DF_GTMHIST_DATA_INFO, &ZEBFrame::mGtmHistDataBuf, 2),
    Buffer(DF_AEM_DATA_INFO, &ZEBFrame::mAemDataBuf, 2),
    Buffer(DF_LSCM_DATA_INFO, &ZEBFrame::mLscmDataBuf, 2),
    Area<DF_AEM_INFO, &ZEBFrame::mAemInfo>(),
    Area<DF_AEM_FOR_AWB, &ZEBFrame::mAemForAwbInfo>(),
    Area<DF_AE_RESULT_INFO, &ZEBFrame::mAeResultInfo>(),
    Area<DF_CAP_AE_PARAMS, &ZEBFrame::mCapAeParams>(),
    Area<DF_AWB_CALC_INFO, &ZEBFrame::mAwbCalcInfo>(),
    Area<DF_LSCM_INFO, &ZEBFrame::mLscmInfo>(),
    Area<DF_CCM_INFO, &ZEBFrame::mCcmInfo>(),
    Area<DF_ISCENE_INFO, &ZEBFrame::mIsceneInfo>(),
    Area<DF_LSC_RESULT_INFO, &ZEBFrame::mLscResultInfo>(),
    Area<DF_LSC4_RESULT_INFO, &ZEBFrame::mLsc4ResultInfo>(),
    Area<DF_SCENE_DETECT_OUT, &ZEBFrame::mSceneDetectOut>(),
    Area<DF_XTMHIST_INFO, &ZEBFrame::mXtmHistInfo>(),
    Area<DF_LTMHIST_INFO, &ZEBFrame::mLtmHistInfo>(),
    Area<DF_BAYHIST_INFO, &ZEBFrame::mBayHistInfo>(),
    Area<DF_HIST2_INFO, &ZEBFrame::mHist2Info>(),
    Area<DF_ZOLTDEF_INFO, &ZEBFrame::mZoltDefInfo>(),
    Area<DF_CONTROL_INFO, &ZEBFrame::mControlInfo>(),
    Area<DF_FD_ISP_INFO, &ZEBFrame::mFdIspInfo>(),
    Area<DF_FD_SNAPSHOT, &ZEBFrame::mFdSnapshot>(),
    Area<DF_XTM_RESULT_INFO, &ZEBFrame::mXtmResultInfo>(),
    Area<DF_OFFLINE_AE_INFO, &ZEBFrame::mOfflineAeInfo>(),
    Area<DF_OFFLINE_RESULT_INFO, &ZEBFrame::mOfflineResultInfo>(),
};

constexpr bool EveryRowHasOneHome() {
    int homes[kDataFormatCount] = {};
    for (const RowHome& home : kRowHomes) ++homes[home.row];
    for (int count : homes) {
        if (count != 1) return false;
    }
    return true;
}
static_assert(EveryRowHasOneHome(), "each row lives in one area or one buffer");

// The rows whose capacity is the size of the first folder's file, in the order
// they are measured.
const DataFormat kFileSizedRows[] = {DF_AFM, DF_PDAF, DF_LSC_RESULT_TABLE_INFO, DF_HIST2_DATA_INFO,
                                     DF_GTMHIST_DATA_INFO, DF_AEM_DATA_INFO, DF_LSCM_DATA_INFO,
                                     DF_LSC_RESULT_WTABLE_INFO};

// Sizes past 2 GiB are not images this system handles; they count as none.
uint32_t ClampSize(int64_t bytes) { return bytes > 0 && bytes <= INT32_MAX ? static_cast<uint32_t>(bytes) : 0; }

const char* RoleOf(int row) {
    return row == DF_YUV_NV21 ? "YUV image" : row == DF_MIPI_RAW || row == DF_RAW ? "raw image" : "dump";
}

// Reads an open file into a destination of `capacity` bytes: a longer file is
// cut, a shorter one leaves zeros behind it, so nothing of the previous folder
// stays. False when fewer bytes came than the file said it held (it shrank, a
// read failed, or the reader was asked to stop): the row is then not valid.
bool ReadIntoRow(files::InputFile& file, const char* path, uint8_t* to, uint32_t capacity,
                 const files::StopRequested& stop) {
    uint64_t bytes = file.Size();
    if (bytes > capacity) {
        ZLOG(kTag, 1, "%d, %s: file %s holds %llu bytes, more than the %u of its destination: cut to %u",
             files::Escaped(path).c_str(), static_cast<unsigned long long>(bytes), capacity, capacity);
        bytes = capacity;
    }
    const uint64_t got = file.Read(to, bytes, stop);
    if (got < capacity) memset(to + got, 0, capacity - got);
    if (got == bytes) return true;
    if (stop && stop()) {
        ZLOG(kTag, 4, "%d, %s: read of %s stopped after %llu of %llu bytes", files::Escaped(path).c_str(),
             static_cast<unsigned long long>(got), static_cast<unsigned long long>(bytes));
    } else {
        ZLOG(kTag, 1, "%d, %s: read file %s error: %llu of its %llu bytes, the rest zeroed and the row not valid",
             files::Escaped(path).c_str(), static_cast<unsigned long long>(got), static_cast<unsigned long long>(bytes));
    }
    return false;
}

}  // namespace

const DataFileSpec& DataFileSpecOf(int row) {
    static const DataFileSpec kNone{"", RowKind::FixedArea, 0, true};
    return row >= 0 && row < kDataFormatCount ? kDataFiles[row] : kNone;
}

// The folder's entries as one listing yields them, so that matching the 33
// rows costs one directory scan instead of one each.
class ZEBFrame::Listing {
public:
    explicit Listing(const char* folder) : mFolder(folder) {
        DIR* dir = opendir(folder);
        if (!dir) return;
        mOpened = true;
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (entry->d_type != DT_DIR) {
                mNames.push_back(name);
            } else if (name != "." && name != "..") {
                mFolders.push_back(name);
            }
        }
        closedir(dir);
    }

    void Clear() {
        mNames.clear();
        mFolders.clear();
    }

    const std::string mFolder;
    bool mOpened = false;
    std::vector<std::string> mNames;
    // Folders are no file of the frame; one at a row's name is named as refused.
    std::vector<std::string> mFolders;
    // What this pass over the folder refused, each logged once.
    mutable std::set<std::string> mRefused;
};

ZEBFrame::ZEBFrame(const std::string& path, const files::StopRequested& stop)
    : mBufferInfo(std::make_shared<std::array<BufferInfo, kBufferRecords>>()) {
    for (int row = 0; row < kDataFormatCount; ++row) {
        DataFileEntry& entry = mDataFiles[row];
        entry.format = static_cast<DataFormat>(row);
        entry.subFix = kDataFiles[row].subFix;
        entry.size = kDataFiles[row].kind == RowKind::FixedArea ? kDataFiles[row].fixedSize : 0;
        entry.mem = nullptr;
        entry.valid = false;
    }
    for (const RowHome& home : kRowHomes) {
        if (home.area) mDataFiles[home.row].mem = home.area(*this);
    }

    SetFolder(path);
    ZLOG(kTag, 4, "%d, %s: FilePath %s", files::Escaped(mFilePath).c_str());
    // One scan of the folder serves sizing, allocation and reading.
    Listing listing(mFilePath);
    if (!GetImageSize(listing)) listing.Clear();
    AllocateMemory(listing);
    ReadAllFile(listing, stop);
}

void SetFrameReleaseHook(FrameReleaseHook hook) { gReleaseHook.store(hook); }

void AnnounceFrameRelease(const ZEBFrame& frame) {
    if (FrameReleaseHook hook = gReleaseHook.load()) hook(frame);
}

ZEBFrame::~ZEBFrame() {
    AnnounceFrameRelease(*this);
    mMipiRawBuf.reset();
    mRawBuf.reset();
    mYuvBuf.reset();
    mAfmBuf.reset();
    mPdafBuf.reset();
    mLscTableBuf.reset();
    mGtmHistDataBuf.reset();
    mHist2DataBuf.reset();
    mAemDataBuf.reset();
    mLscmDataBuf.reset();
    mLscWTableBuf.reset();
    memset(mFilePath, 0, sizeof mFilePath);
    mBinningRawBuf.reset();
}

void ZEBFrame::SetFolder(const std::string& path) {
    memset(mFilePath, 0, sizeof mFilePath);
    if (path.size() >= sizeof mFilePath) {
        // A cut path would name another folder; an empty one names none.
        ZLOG(kTag, 1, "%d, %s: Path %s is longer than %d characters, no file is read", files::Escaped(path).c_str(),
             kFramePathMax - 1);
        return;
    }
    memcpy(mFilePath, path.data(), path.size());
}

uint64_t ZEBFrame::GetFileSize(FILE* file) {
    if (!file) {
        ZLOG(kTag, 4, "%d, %s: Not Valid File");
        return 0;
    }
    fseeko(file, 0, SEEK_END);
    const off_t length = ftello(file);
    fseeko(file, 0, SEEK_SET);
    return length < 0 ? 0 : static_cast<uint64_t>(length);
}

uint64_t ZEBFrame::GetFileSize(const char* path, uint64_t cap) {
    std::string why;
    const files::InputFile file = files::InputFile::Open(path ? path : "", cap, &why);
    if (file.IsOpen()) return file.Size();
    ZLOG(kTag, 4, "%d, %s: Not Valid File");
    if (why != "missing" && why != "no path") {
        ZLOG(kTag, 1, "%d, %s: file %s refused: %s", files::Escaped(path).c_str(), why.c_str());
    }
    return 0;
}

uint64_t ZEBFrame::GetFileSize(DataFormat format) {
    if (format < 0 || format >= kDataFormatCount) return 0;
    char path[kFramePathMax] = "";
    MatchFile(kDataFiles[format].subFix, path);
    return GetFileSize(path, FileCap(format));
}

uint64_t ZEBFrame::FileCap(int row) {
    return DataFileSpecOf(row).kind == RowKind::Image ? files::kMaxImageBytes : files::kMaxDumpBytes;
}

void ZEBFrame::MatchFile(const char* pattern, char* outPath) { MatchFile(Listing(mFilePath), pattern, outPath); }

// The last strlen(pattern) characters of "folder/name" are compared with the
// pattern over at most five characters. Stored recordings rely on this rule:
// a pattern shorter than five must end the name exactly (the NUL takes part),
// a longer one is told apart by its first five characters alone.
void ZEBFrame::MatchFile(const Listing& listing, const char* pattern, char* outPath) {
    if (!listing.mOpened) {
        ZLOG(kTag, 1, "%d, %s: Could not OpenDIR with Path %s", files::Escaped(listing.mFolder).c_str());
        return;
    }
    if (!pattern || !outPath) return;
    for (const std::string& name : listing.mNames) {
        const std::string full = listing.mFolder + "/" + name;
        if (PathMatches(full, pattern)) {
            memcpy(outPath, full.c_str(), full.size() + 1);
            return;
        }
    }
}

bool ZEBFrame::PathMatches(const std::string& full, const char* pattern) {
    const size_t n = strlen(pattern);
    return full.size() < kFramePathMax && full.size() >= n && strncmp(full.c_str() + full.size() - n, pattern, 5) == 0;
}

FolderSurvey ZEBFrame::SurveyFolder(const std::string& path) {
    FolderSurvey survey;
    if (path.size() >= kFramePathMax) {
        survey.pathTooLong = true;
        return survey;
    }
    const Listing listing(path.c_str());
    survey.opened = listing.mOpened;
    if (!listing.mOpened) return survey;
    for (const std::string& name : listing.mNames) {
        if (listing.mFolder.size() + 1 + name.size() >= kFramePathMax) survey.unreachable.push_back(name);
    }
    for (int row = 0; row < kDataFormatCount; ++row) {
        FolderSurvey::Row& found = survey.rows[row];
        for (const std::string& name : listing.mNames) {
            const std::string full = listing.mFolder + "/" + name;
            if (PathMatches(full, kDataFiles[row].subFix)) found.matches.push_back(full);
        }
        // Looked at as the frame opens it: what it refuses is said, never read.
        struct stat info;
        if (!found.matches.empty() && lstat(found.matches.front().c_str(), &info) == 0) {
            found.length = info.st_size;
            std::string why;
            if (!files::InputFile::Open(found.matches.front(), FileCap(row), &why).IsOpen() && why != "missing") {
                found.refused = why;
            }
        }
        if (kDataFiles[row].kind == RowKind::FixedArea) found.expected = kDataFiles[row].fixedSize;
    }
    char matched[kFramePathMax] = "";
    MatchFile(listing, kDataFiles[DF_MIPI_RAW].subFix, matched);
    ParseImageSize(matched, &survey.rawWidth, &survey.rawHeight);
    matched[0] = '\0';
    MatchFile(listing, kDataFiles[DF_YUV_NV21].subFix, matched);
    ParseImageSize(matched, &survey.yuvWidth, &survey.yuvHeight);
    survey.sizeRefused = !ImageSizeAllowed(survey.rawWidth, survey.rawHeight) ||
                         !ImageSizeAllowed(survey.yuvWidth, survey.yuvHeight);
    // The packed raw holds its lines back to back, realigned once read; the
    // 16-bit raw and the YUV image are read as their sizes give them.
    const int64_t rawPixels = int64_t{std::max(survey.rawWidth, 0)} * std::max(survey.rawHeight, 0);
    survey.rows[DF_MIPI_RAW].expected = int64_t{PackedLineBytes(survey.rawWidth)} * std::max(survey.rawHeight, 0);
    survey.rows[DF_RAW].expected = rawPixels * 2;
    survey.rows[DF_YUV_NV21].expected = int64_t{std::max(survey.yuvWidth, 0)} * std::max(survey.yuvHeight, 0) * 3 / 2;
    return survey;
}

// Names look like prefix_WIDTHxHEIGHT_rest; fields are at most 8 characters.
void ZEBFrame::ParseImageSize(const char* path, int32_t* width, int32_t* height) {
    const char* slash = strrchr(path, '/');
    const char* start = slash ? slash + 1 : path;
    const char* underscore = strchr(start, '_');
    const char* widthField = underscore ? underscore + 1 : path;
    ZLOG(kTag, 4, "%d, %s: Temp str is %s", files::Escaped(widthField).c_str());
    char field[9] = {};
    int length = 0;
    while (length < 8 && widthField[length] && widthField[length] != 'x') {
        field[length] = widthField[length];
        ++length;
    }
    *width = atoi(field);
    const char* heightField;
    if (length < 8 && widthField[length] == 'x') {
        heightField = widthField + length + 1;
    } else {
        heightField = widthField[0] ? widthField + 1 : widthField;
    }
    ZLOG(kTag, 4, "%d, %s: Temp str is %s", files::Escaped(heightField).c_str());
    memset(field, 0, sizeof field);
    for (length = 0; length < 8 && heightField[length] && heightField[length] != '_'; ++length) {
        field[length] = heightField[length];
    }
    *height = atoi(field);
}

void ZEBFrame::GetImageSize() { GetImageSize(Listing(mFilePath)); }

bool ZEBFrame::ImageSizeAllowed(int32_t width, int32_t height) {
    // Sizes of 0 or less describe no image.
    if (width <= 0 || height <= 0) return true;
    return width <= kMaxImageSide && height <= kMaxImageSide && int64_t{width} * height <= kMaxImagePixels;
}

bool ZEBFrame::GetImageSize(const Listing& listing) {
    char path[kFramePathMax] = "";
    MatchFile(listing, kDataFiles[DF_MIPI_RAW].subFix, path);
    ParseImageSize(path, &mRawWidth, &mRawHeight);
    path[0] = '\0';
    MatchFile(listing, kDataFiles[DF_YUV_NV21].subFix, path);
    ParseImageSize(path, &mYuvWidth, &mYuvHeight);
    ZLOG(kTag, 4, "%d, %s: Raw Image Size is [%d, %d], YUV ImageSize is [%d, %d]", mRawWidth, mRawHeight,
         mYuvWidth, mYuvHeight);
    if (ImageSizeAllowed(mRawWidth, mRawHeight) && ImageSizeAllowed(mYuvWidth, mYuvHeight)) return true;
    // Buffers are obtained at the sizes the names give: a name alone must not
    // claim gigabytes of shared memory per frame.
    ZLOG(kTag, 1,
         "%d, %s: %s names a raw of [%d, %d] and a YUV of [%d, %d], beyond %d per side or %lld pixels: folder not read",
         files::Escaped(listing.mFolder).c_str(), mRawWidth, mRawHeight, mYuvWidth, mYuvHeight, kMaxImageSide,
         static_cast<long long>(kMaxImagePixels));
    mRawWidth = mRawHeight = mYuvWidth = mYuvHeight = 0;
    return false;
}

int ZEBFrame::PackedLineBytes(int width) { return width > 0 ? static_cast<int>(int64_t{width} * 10 / 8) : 0; }

int ZEBFrame::AlignedStride(int width) { return width > 0 ? (PackedLineBytes(width) + 15) & ~15 : 0; }

uint32_t ZEBFrame::MeasureFile(const Listing& listing, DataFormat format) {
    char path[kFramePathMax];
    const files::InputFile file = OpenRowFile(listing, format, path);
    // Dumps are capped far below 4 GiB: the size fits the 32-bit capacity.
    return file.IsOpen() ? static_cast<uint32_t>(std::min<uint64_t>(file.Size(), files::kMaxDumpBytes)) : 0;
}

files::InputFile ZEBFrame::OpenRowFile(const Listing& listing, int row, char* path, bool* refusal) {
    path[0] = '\0';
    MatchFile(listing, kDataFiles[row].subFix, path);
    std::string refused, why;
    files::InputFile file;
    if (path[0]) {
        file = files::InputFile::Open(path, FileCap(row), &why);
        // A file gone since the listing is absent, not refused.
        if (!file.IsOpen() && why != "missing") refused = path;
    } else {
        for (const std::string& name : listing.mFolders) {
            const std::string full = listing.mFolder + "/" + name;
            if (PathMatches(full, kDataFiles[row].subFix)) {
                refused = full;
                why = "a folder";
                break;
            }
        }
    }
    if (refusal) *refusal = !refused.empty();
    if (!refused.empty() && listing.mRefused.insert(refused).second) {
        ZLOG(kTag, 1, "%d, %s: %s %s refused: %s", RoleOf(row), files::Escaped(refused).c_str(), why.c_str());
    }
    return file;
}

BufferInfo* ZEBFrame::TakeBufferRecord() {
    if (mBufferCount >= kBufferRecords) {
        ZLOG(kTag, 1, "%d, %s: All %d buffer records of %s are taken, no buffer obtained", kBufferRecords,
         files::Escaped(mFilePath).c_str());
        return nullptr;
    }
    return &(*mBufferInfo)[mBufferCount++];
}

BufferHandle ZEBFrame::Acquire(const std::shared_ptr<ZEBMemoryPool<BufferInfo>>& pool, int width, int height,
                               int usage) {
    BufferInfo* record = TakeBufferRecord();
    if (!record) return nullptr;
    pool->AquireMemory(width, height, usage, record);
    return ZEBMemoryPool<BufferInfo>::MakeHandle(pool, record, mBufferInfo);
}

void ZEBFrame::BindRow(DataFormat row, const BufferHandle& handle) {
    DataFileEntry& entry = mDataFiles[row];
    uint8_t* address = BufferAddress(handle);
    if (!address) return;
    entry.mem = address;
    // The row never holds more than the buffer behind it.
    entry.size = static_cast<uint32_t>(std::min<size_t>(entry.size, handle->bytes));
}

void ZEBFrame::RowCapacities(const Listing& listing, uint32_t* capacity) {
    const int64_t rawPixels = mRawWidth > 0 && mRawHeight > 0 ? int64_t{mRawWidth} * mRawHeight : 0;
    const int64_t yuvPixels = mYuvWidth > 0 && mYuvHeight > 0 ? int64_t{mYuvWidth} * mYuvHeight : 0;
    capacity[DF_MIPI_RAW] = ClampSize(rawPixels ? int64_t{AlignedStride(mRawWidth)} * mRawHeight : 0);
    capacity[DF_RAW] = ClampSize(rawPixels * 2);
    capacity[DF_YUV_NV21] = ClampSize(yuvPixels * 3 / 2);
    for (DataFormat row : kFileSizedRows) capacity[row] = MeasureFile(listing, row);
}

// The size a buffer is requested with: the images by the raw size (the YUV
// buffer too, as the HAL expects), the dumps by their file's length.
void ZEBFrame::BufferRequest(DataFormat row, uint32_t capacity, int* width, int* height) const {
    *width = mRawWidth;
    *height = mRawHeight;
    if (row == DF_MIPI_RAW) {
        *width = static_cast<int>(mRawWidth * 1.25);
    } else if (row != DF_RAW && row != DF_YUV_NV21) {
        *width = static_cast<int>(std::min<uint32_t>(capacity, INT32_MAX));
        *height = 1;
    }
}

void ZEBFrame::AllocateMemory() { AllocateMemory(Listing(mFilePath)); }

void ZEBFrame::AllocateMemory(const Listing& listing) {
    uint32_t capacity[kDataFormatCount] = {};
    RowCapacities(listing, capacity);
    for (const RowHome& slot : kRowHomes) {
        if (slot.buffer) mDataFiles[slot.row].size = capacity[slot.row];
    }

    auto pool = std::make_shared<ZEBMemoryPool<BufferInfo>>(ZEBMemoryPool<BufferInfo>::Manager());
    for (const RowHome& slot : kRowHomes) {
        if (!slot.buffer) continue;
        int width = 0, height = 0;
        BufferRequest(slot.row, capacity[slot.row], &width, &height);
        this->*slot.buffer = Acquire(pool, width, height, slot.usage);
        if (slot.row == DF_MIPI_RAW) ZLOG(kTag, 4, "%d, %s: Raw Image Size is [%d, %d]", mRawWidth, mRawHeight);
    }
    for (const RowHome& slot : kRowHomes) {
        if (slot.buffer) BindRow(slot.row, this->*slot.buffer);
    }
}

// A recycled frame keeps its buffers where they hold what the next folder
// needs; one that is too small (a larger image, a longer dump, a file that was
// absent before) is replaced, so a recording of mixed sizes plays whole.
void ZEBFrame::GrowMemory(const Listing& listing) {
    uint32_t capacity[kDataFormatCount] = {};
    RowCapacities(listing, capacity);
    std::shared_ptr<ZEBMemoryPool<BufferInfo>> pool;
    for (const RowHome& slot : kRowHomes) {
        if (!slot.buffer) continue;
        BufferHandle& handle = this->*slot.buffer;
        DataFileEntry& entry = mDataFiles[slot.row];
        int width = 0, height = 0;
        BufferRequest(slot.row, capacity[slot.row], &width, &height);
        if (BufferBytes(handle) < GuaranteedBytes(slot.usage, width, height)) {
            // The record is reused when the frame alone holds the buffer (it
            // goes back first); a buffer still held elsewhere stays with its
            // holder and the frame takes a new record.
            BufferInfo* record = nullptr;
            if (handle && handle.use_count() == 1) {
                record = handle.get();
                handle.reset();
            } else {
                record = TakeBufferRecord();
            }
            if (record) {
                if (!pool) pool = std::make_shared<ZEBMemoryPool<BufferInfo>>(ZEBMemoryPool<BufferInfo>::Manager());
                pool->AquireMemory(width, height, slot.usage, record);
                handle = ZEBMemoryPool<BufferInfo>::MakeHandle(pool, record, mBufferInfo);
                ZLOG(kTag, 4, "%d, %s: Buffer of row %d obtained again as [%d, %d] for %s", static_cast<int>(slot.row),
                     width, height, files::Escaped(mFilePath).c_str());
            }
        }
        // Capacities only grow, so a longer file read earlier is cleared
        // whole by a shorter one; they never pass the buffer.
        uint8_t* address = BufferAddress(handle);
        entry.mem = address;
        entry.size = address ? static_cast<uint32_t>(std::min<size_t>(std::max(entry.size, capacity[slot.row]),
                                                                      handle->bytes))
                             : 0;
    }
}

void ZEBFrame::ReadRow(const Listing& listing, DataFileEntry& row, const files::StopRequested& stop) {
    const int index = row.format;
    if (row.size == 0 || !row.mem) {
        ZLOG(kTag, 4, "%d, %s: Not valid File i %d mem %p, subFix %s size %d", index, row.mem, row.subFix,
             static_cast<int>(row.size));
        return;
    }
    char path[kFramePathMax];
    bool refused = false;
    files::InputFile file = OpenRowFile(listing, index, path, &refused);
    uint8_t* const to = static_cast<uint8_t*>(row.mem);
    if (file.IsOpen()) {
        bool complete = false;
        if (ReadRawToStride(file.Descriptor(), path, file.Size(), row, stop, &complete)) {
            // The packed lines went straight to the driver's stride.
            row.valid = complete;
        } else {
            row.valid = ReadIntoRow(file, path, to, row.size, stop);
        }
    } else {
        ZLOG(kTag, 4, "%d, %s: ZEB failed to read file %s", files::Escaped(path).c_str());
        row.valid = false;
        ZLOG(kTag, 4, "%d, %s: Not valid file with %d", index);
        // What stood there is not this folder's data, and neither is the
        // previous folder's.
        if (refused) memset(to, 0, row.size);
    }
    ZLOG(kTag, 4, "%d, %s: ReadFile is i %d path %s with Mem %p subFix %s size %d", index,
         files::Escaped(path).c_str(), row.mem, row.subFix, static_cast<int>(row.size));
}

void ZEBFrame::ReadAllFile() { ReadAllFile(Listing(mFilePath), {}); }

void ZEBFrame::ReadAllFile(const Listing& listing, const files::StopRequested& stop) {
    mRawAtStride = false;
    for (DataFileEntry& row : mDataFiles) {
        if (stop && stop()) {
            // The reader is going: what is left is not read, and not valid.
            ZLOG(kTag, 4, "%d, %s: Reading %s stopped at row %d", files::Escaped(mFilePath).c_str(),
                 static_cast<int>(row.format));
            for (DataFileEntry* rest = &row; rest != std::end(mDataFiles); ++rest) rest->valid = false;
            return;
        }
        ReadRow(listing, row, stop);
    }
}

void ZEBFrame::RecycleOneFrame(const std::string& path, const files::StopRequested& stop) {
    AnnounceFrameRelease(*this);
    SetFolder(path);
    Listing listing(mFilePath);
    if (!GetImageSize(listing)) listing.Clear();
    GrowMemory(listing);
    ReadAllFile(listing, stop);
    mRawAligned = false;
}

bool ZEBFrame::GetAemForAwbValid() {
    const bool valid = mDataFiles[DF_AEM_FOR_AWB].valid;
    ZLOG(kTag, 4, "%d, %s: AemForAwb is %d, valid %d", static_cast<int>(DF_AEM_FOR_AWB), valid ? 1 : 0);
    return valid;
}

}  // namespace ZEB
