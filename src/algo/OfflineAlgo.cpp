#include "algo/OfflineAlgo.h"

#include <vector>

#include "algo/AE.h"
#include "algo/ALSC.h"
#include "algo/AWB.h"
#include "algo/XTM.h"
#include "frame/ZEBFrame.h"
#include "parameter/ParameterManager.h"

namespace ZEB {
namespace {

// A frame is about to be reused for another folder or freed: no module may
// read its areas afterwards. Runs on the thread that releases the frame.
void ReleaseFrame(const ZEBFrame& frame) {
    FrameSpan span;
    span.begin = reinterpret_cast<const uint8_t*>(&frame);
    span.end = span.begin + sizeof frame;
    span.lscTable = BufferAddress(frame.mLscTableBuf);
    span.lscWTable = BufferAddress(frame.mLscWTableBuf);
    if (AE* ae = AeClassPtr.load()) ae->DropFrame(span);
    if (AWB* awb = AwbClassPtr.load()) awb->DropFrame(span);
    if (ALSC* alsc = AlscClassPtr.load()) alsc->DropFrame(span);
    if (XTM* xtm = XtmClassPtr.load()) xtm->DropFrame(span);
}

}  // namespace

bool FindBlock(bool (*matches)(const std::string& blockName), uint32_t* state, std::string* name) {
    int selector = 1;  // any non-null argument asks for the block list
    auto* blocks = static_cast<const std::vector<IspInfo>*>(ParameterManager().GetParameter(&selector, "TaskManager"));
    if (!blocks) return false;
    for (const IspInfo& block : *blocks) {
        std::string blockName = IspText(block.name);
        if (!matches(blockName)) continue;
        *state = block.state;
        *name = std::move(blockName);
        return true;
    }
    return false;
}

void WatchFrameRelease() { SetFrameReleaseHook(&ReleaseFrame); }

}  // namespace ZEB
