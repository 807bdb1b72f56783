#pragma once
// One recorded frame: the folder's raw image, reference YUV image and dump
// files, read into vendor buffers or fixed areas of the object. Built by the
// read thread and later rebound to other folders ("recycling").
#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/FileAccess.h"
#include "frame/BufferInfo.h"
#include "core/records/HalRecords.h"

namespace ZEB {

enum DataFormat : int32_t {
    DF_MIPI_RAW = 0,
    DF_RAW,
    DF_YUV_NV21,
    DF_AFM,
    DF_AEM_INFO,
    DF_AEM_FOR_AWB,
    DF_AE_RESULT_INFO,
    DF_CAP_AE_PARAMS,
    DF_AWB_CALC_INFO,
    DF_PDAF,
    DF_LSCM_INFO,
    DF_CCM_INFO,
    DF_ISCENE_INFO,
    DF_LSC_RESULT_INFO,
    DF_LSC4_RESULT_INFO,
    DF_LSC_RESULT_TABLE_INFO,
    DF_HIST2_DATA_INFO,
    DF_GTMHIST_DATA_INFO,
    DF_AEM_DATA_INFO,
    DF_LSCM_DATA_INFO,
    DF_SCENE_DETECT_OUT,
    DF_XTMHIST_INFO,
    DF_LTMHIST_INFO,
    DF_LSC_RESULT_WTABLE_INFO,
    DF_BAYHIST_INFO,
    DF_HIST2_INFO,
    DF_ZOLTDEF_INFO,
    DF_CONTROL_INFO,
    DF_FD_ISP_INFO,
    DF_FD_SNAPSHOT,
    DF_XTM_RESULT_INFO,
    DF_OFFLINE_AE_INFO,
    DF_OFFLINE_RESULT_INFO,
    DF_MAX
};

constexpr int kDataFormatCount = DF_MAX;  // 33 rows
constexpr int kBufferRecords = 33;
constexpr int kFramePathMax = 256;

// The largest image a frame folder's file names may describe; a folder whose
// raw or YUV name asks for more is refused whole. The largest phone sensors
// give 200 MP (16320 x 12240); a side of at most 16384 and at most 16384 x
// 12288 pixels take them in either orientation. At the limit a frame's images
// take about 1 GB of vendor buffers, and the reader keeps ten frames.
constexpr int32_t kMaxImageSide = 16384;
constexpr int64_t kMaxImagePixels = int64_t{16384} * 12288;

// How a row of the data-file table is sized.
enum class RowKind { Image, FixedArea, FileSized };

// The fixed description of a row: its file-name pattern, how it is sized and,
// for fixed areas, the area's size. Shared with tools that write recordings.
struct DataFileSpec {
    const char* subFix;
    RowKind kind;
    uint32_t fixedSize;  // FixedArea rows only
    // A frame without the file plays as recorded all the same: the 16-bit raw
    // is unpacked from the packed one, AWB takes AEM_INFO for AEM_FOR_AWB.
    bool optional;
};
const DataFileSpec& DataFileSpecOf(int row);

// What a frame built on a folder would read there, found the way the frame
// finds it but reading nothing: for tools that check a recording before a
// device plays it.
struct FolderSurvey {
    bool opened = false;       // the folder could be listed
    bool pathTooLong = false;  // a frame refuses a folder path this long and reads nothing
    int32_t rawWidth = 0, rawHeight = 0;  // parsed from the names as the frame parses them
    int32_t yuvWidth = 0, yuvHeight = 0;
    bool sizeRefused = false;  // a size passes the limits below: the frame reads nothing of the folder
    struct Row {
        // Every file of the folder the row's pattern matches, in listing
        // order: the frame reads the first.
        std::vector<std::string> matches;
        int64_t length = -1;    // of the first match; -1 when there is none
        int64_t expected = -1;  // the bytes the frame reads of it; -1: as many as the file has
        // Why the frame refuses the first match ("a link", "a named pipe",
        // "larger than its cap of ..."); empty when it reads it.
        std::string refused;
    };
    Row rows[kDataFormatCount];
    // Names the frame never matches: folder and name together are too long.
    std::vector<std::string> unreachable;
};

struct DataFileEntry {
    uint32_t size;       // capacity of the destination; 0: not read
    DataFormat format;   // the row's own index
    void* mem;           // destination; null: not read
    const char* subFix;  // file-name pattern
    bool valid;          // the last read found and opened the file
};

class ZEBFrame {
public:
    // `stop` is asked between the chunks of every read: the reader's exit
    // flag, so that a large folder does not hold up its deletion.
    explicit ZEBFrame(const std::string& path, const files::StopRequested& stop = {});
    ~ZEBFrame();
    ZEBFrame(const ZEBFrame&) = delete;
    ZEBFrame& operator=(const ZEBFrame&) = delete;

    static uint64_t GetFileSize(FILE* file);
    // The size of a regular file no larger than `cap`; 0 (logged) for what the
    // frame refuses to read.
    static uint64_t GetFileSize(const char* path, uint64_t cap = files::kMaxImageBytes);
    uint64_t GetFileSize(DataFormat format);
    // The cap on a row's file: images by kMaxImageBytes, dumps by kMaxDumpBytes.
    static uint64_t FileCap(int row);
    // Full path of the folder's first file matching `pattern` (five-character
    // rule, see ZEBFrame.cpp) into the caller's kFramePathMax buffer; left
    // untouched when nothing matches.
    void MatchFile(const char* pattern, char* outPath);
    void GetImageSize();
    void ReadAllFile();
    static FolderSurvey SurveyFolder(const std::string& path);
    // Rebinds the frame to another folder; buffers too small for it are
    // obtained again at the size it needs.
    void RecycleOneFrame(const std::string& path, const files::StopRequested& stop = {});
    bool GetAemForAwbValid();
    void AllocateMemory();

    // Raw conversions (RawConversion.cpp). They refuse, returning false, what
    // would read or write past a buffer; they do not log.
    bool UnpackSensorRaw(int width, int height, int stride, const BufferHandle& src, const BufferHandle& dst);
    bool BinningSensorRaw(int factor, const BufferHandle& src, const BufferHandle& dst, int width, int height);
    bool PackSensorRaw(const BufferHandle& src, const BufferHandle& dst, int width, int height, int stride);
    bool RightShift(const BufferHandle& buffer, int width, int height);
    // Binned, packed copy of the frame's 16-bit raw into mBinningRawBuf. Logs
    // and returns false for a factor whose binned size packing cannot hold.
    static bool CreateBinningFrame(const std::shared_ptr<ZEBFrame>& frame, int factor, int binnedStride);
    // The same binned, packed image made straight from the packed raw, whose
    // lines lie `stride` bytes apart in mMipiRawBuf, in one pass over bands of
    // lines; mRawBuf is not touched.
    static bool CreateBinningFrame(const std::shared_ptr<ZEBFrame>& frame, int factor, int binnedStride, int stride);
    // Whether `factor` gives a binned image the conversions can produce.
    static bool BinningFactorUsable(int width, int height, int factor);

    // Packed line length and its 16-byte aligned stride for a raw width.
    static int PackedLineBytes(int width);
    // Whether a size taken from a file name lies within the limits above.
    static bool ImageSizeAllowed(int32_t width, int32_t height);
    static int AlignedStride(int width);

    // Members are read directly by the sensor path, the task driver and the
    // 3A adapters.
    BufferHandle mMipiRawBuf;
    BufferHandle mBinningRawBuf;
    BufferHandle mRawBuf;
    BufferHandle mYuvBuf;
    BufferHandle mAfmBuf;
    BufferHandle mPdafBuf;
    BufferHandle mLscTableBuf;
    BufferHandle mHist2DataBuf;
    BufferHandle mGtmHistDataBuf;
    BufferHandle mAemDataBuf;
    BufferHandle mLscmDataBuf;
    BufferHandle mLscWTableBuf;
    uint8_t mAemInfo[196620] = {};
    uint8_t mAemForAwbInfo[196620] = {};
    uint8_t mAeResultInfo[1248] = {};
    uint8_t mCapAeParams[644] = {};
    uint8_t mAwbCalcInfo[120] = {};
    uint8_t mLscmInfo[196620] = {};
    uint8_t mLscResultInfo[32] = {};
    uint8_t mLsc4ResultInfo[208] = {};
    uint8_t mBayHistInfo[3144] = {};
    uint8_t mHist2Info[1048] = {};
    isp_raw_proc_info mRawProcInfo = {};
    uint8_t mXtmHistInfo[560] = {};
    uint8_t mLtmHistInfo[16396] = {};
    uint8_t mOfflineResultInfo[1256] = {};
    uint8_t mOfflineAeInfo[128] = {};
    uint8_t mZoltDefInfo[1392] = {};
    uint8_t mControlInfo[324] = {};
    uint8_t mSceneDetectOut[4904] = {};
    uint8_t mIsceneInfo[8512] = {};
    uint8_t mCcmInfo[18] = {};
    uint8_t mFdIspInfo[4368] = {};
    uint8_t mFdSnapshot[13864] = {};
    uint8_t mXtmResultInfo[17436] = {};
    int64_t mFrameId = 0;
    bool mRawAligned = false;
    // The read put the packed lines at the aligned stride already, fill bytes
    // zeroed: realigning has nothing to move.
    bool mRawAtStride = false;
    int32_t mRawWidth = 0, mRawHeight = 0;
    int32_t mYuvWidth = 0, mYuvHeight = 0;
    uint32_t mBufferCount = 0;
    char mFilePath[kFramePathMax] = {};
    // The records behind the buffer handles. Held in a block that every handle
    // also keeps alive, so a handle copied out of the frame stays valid after
    // the frame is gone.
    std::shared_ptr<std::array<BufferInfo, kBufferRecords>> mBufferInfo;
    DataFileEntry mDataFiles[kDataFormatCount];

private:
    class Listing;
    static bool PathMatches(const std::string& full, const char* pattern);
    // Reads the packed raw file `fd` (at `path`) of the row straight to the
    // aligned stride (RawLineRead.cpp); false, nothing read, when the lines
    // are on the stride as stored or the buffer cannot hold them there.
    // `complete` says whether every byte the file holds for the image came:
    // what did not is zeroed, and the row is then not valid.
    bool ReadRawToStride(int fd, const char* path, uint64_t fileBytes, const DataFileEntry& row,
                         const std::function<bool()>& stop, bool* complete);
    static bool BinnedSizeUsable(const std::shared_ptr<ZEBFrame>& frame, int factor, int binnedStride);
    static void MatchFile(const Listing& listing, const char* pattern, char* outPath);
    static void ParseImageSize(const char* path, int32_t* width, int32_t* height);
    // False (logged, sizes 0) when a name asks for more than the limits: the
    // folder is then read as if it held no file.
    bool GetImageSize(const Listing& listing);
    uint32_t MeasureFile(const Listing& listing, DataFormat format);
    // The row's file opened through the file-access layer; a refusal is
    // logged once per folder pass and sets `refused`. `path` gets the
    // matched path.
    static files::InputFile OpenRowFile(const Listing& listing, int row, char* path, bool* refused = nullptr);
    void ReadRow(const Listing& listing, DataFileEntry& row, const files::StopRequested& stop);
    void RowCapacities(const Listing& listing, uint32_t* capacity);
    void BufferRequest(DataFormat row, uint32_t capacity, int* width, int* height) const;
    void AllocateMemory(const Listing& listing);
    void GrowMemory(const Listing& listing);
    void ReadAllFile(const Listing& listing, const files::StopRequested& stop);
    void SetFolder(const std::string& path);
    // The next free BufferInfo record, or null (logged) once all are taken.
    BufferInfo* TakeBufferRecord();
    BufferHandle Acquire(const std::shared_ptr<ZEBMemoryPool<BufferInfo>>& pool, int width, int height, int usage);
    void BindRow(DataFormat row, const BufferHandle& handle);
};

using ZEBFramePtr = std::shared_ptr<ZEBFrame>;

// Called with a frame whose recorded data is done with: its task gave it back,
// or its areas and buffers are about to be overwritten by another folder or
// freed. Runs on the thread that does it. Whoever keeps addresses into the
// frame (the offline 3A modules) lets go of them, and waits for its own
// readers, before it returns. One hook per process; null removes it.
using FrameReleaseHook = void (*)(const ZEBFrame& frame);
void SetFrameReleaseHook(FrameReleaseHook hook);
// Calls the hook. A frame does so itself before it is rebound or freed; the
// reader also does when a finished task gives its frames back.
void AnnounceFrameRelease(const ZEBFrame& frame);

}  // namespace ZEB
