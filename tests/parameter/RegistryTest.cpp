#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "parameter/ParameterManager.h"
#include "platform/Host.h"
#include "platform/Log.h"
#include "core/SimulationControlInterface.h"
#include "support/TestSupport.h"

using ZEB::ParameterManager;
using ZEB::ParameterManagerBase;
using ZEB::SimulationControlInterface;
using ZEB::ZebStatusTag;
using zeb_platform::LogCapture;

namespace {

class FakeModule : public ParameterManagerBase {
public:
    explicit FakeModule(bool ready = true) {
        if (ready) mStatus.SetReady();
    }
    void* GetParameter(void*) override { return this; }
    int GetOpsParam(void*) override { return 7; }
    ZebStatusTag* GetStatus(void*) override { return &mStatus; }
    void SetFrameId(int64_t frameId) override { mFrameId = frameId; }
    void SetFrameStaticInfo(void*, int64_t frameId) override { mStaticFrameId = frameId; }
    void ParseParameter(void*) override { ++mParsed; }

    ZebStatusTag mStatus;
    std::atomic<int64_t> mFrameId{-1};
    int64_t mStaticFrameId = -1;
    int mParsed = 0;
};

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        ParameterManager::StopStatusWatch();
        ParameterManager::Clear();
        SimulationControlInterface::SetZebDataReady(false);
    }
    void TearDown() override {
        ParameterManager::StopStatusWatch();
        ParameterManager::Clear();
    }
    // Modules live for the process, as they do in the library.
    FakeModule* Make(bool ready = true) {
        mModules.push_back(std::make_unique<FakeModule>(ready));
        return mModules.back().get();
    }
    std::vector<std::unique_ptr<FakeModule>> mModules;
};

}  // namespace

TEST_F(Registry, FirstRegistrationWinsAndNamesMatchExactly) {
    FakeModule* first = Make();
    FakeModule* second = Make();
    EXPECT_EQ(ParameterManager::CreateParameter("AE", first), reinterpret_cast<intptr_t>(first));
    EXPECT_EQ(ParameterManager::CreateParameter("AE", second), reinterpret_cast<intptr_t>(second));
    EXPECT_EQ(ParameterManager::GetInstance("AE"), first);

    LogCapture log(4);
    ParameterManager manager;
    EXPECT_EQ(manager.GetParameter(nullptr, "ae"), nullptr);
    EXPECT_EQ(manager.GetParameter(nullptr, "AE "), nullptr);
    auto records = log.Records();
    ASSERT_GE(records.size(), 2u);
    EXPECT_NE(records[0].text.find("Instance name is ae"), std::string::npos);
    EXPECT_NE(records[1].text.find("Could not find ParameterInstance"), std::string::npos);

    EXPECT_EQ(manager.GetParameter(nullptr, "AE"), first);
    EXPECT_EQ(manager.GetOpsParam(nullptr, "AE"), 7);
    EXPECT_EQ(manager.GetOpsParam(nullptr, "AWB"), 0);
    EXPECT_EQ(manager.GetStatus(nullptr, "AE"), &first->mStatus);
    manager.ParseParameter(nullptr, "AE");
    manager.ParseParameter(nullptr, "missing");
    EXPECT_EQ(first->mParsed, 1);
    manager.SetFrameStaticInfo(nullptr, 65535, "AE");
    EXPECT_EQ(first->mStaticFrameId, 65535);
    manager.SetFrameSize2ALG(9);
    EXPECT_EQ(ParameterManagerBase::mFrmSize.load(), 9);

    // The frame id reaches every module, past a name registered without one.
    FakeModule* other = Make();
    ParameterManager::CreateParameter("Nothing", nullptr);
    ParameterManager::CreateParameter("XTM", other);
    manager.SetFrameId2ALG(3);
    EXPECT_EQ(first->mFrameId.load(), 3);
    EXPECT_EQ(other->mFrameId.load(), 3);
}

TEST_F(Registry, StatusWatchOnAnEmptyRegistryRaisesDataReady) {
    LogCapture log(4);
    ParameterManager().WatchStatus();
    ASSERT_TRUE(zeb_test::WaitFor([] { return SimulationControlInterface::GetZebDataReady(); }));
    ParameterManager::StopStatusWatch();
    EXPECT_TRUE(log.Contains("wait server ready"));
    EXPECT_TRUE(log.Contains(": server ready"));
}

TEST_F(Registry, StatusWatchWaitsBehindAModuleThatIsNotReady) {
    LogCapture log(4);
    FakeModule* late = Make(false);
    ParameterManager::CreateParameter("ALSC", Make());
    ParameterManager::CreateParameter("AWB", late);
    ParameterManager::CreateParameter("Broken", nullptr);
    ParameterManager().WatchStatus();
    ASSERT_TRUE(zeb_test::WaitFor([&] { return log.Contains("wait for AWB param parse"); }));
    // A module registered behind the walk's position is waited for too.
    FakeModule* added = Make(false);
    ParameterManager::CreateParameter("XTM", added);
    EXPECT_FALSE(log.Contains("AWB param parse done"));
    EXPECT_FALSE(SimulationControlInterface::GetZebDataReady());

    late->mStatus.SetReady();
    ASSERT_TRUE(zeb_test::WaitFor([&] { return log.Contains("wait for XTM param parse"); }));
    EXPECT_TRUE(log.Contains("get Broken param status fail", "ZEBParameter", 1));
    EXPECT_FALSE(SimulationControlInterface::GetZebDataReady());
    added->mStatus.SetReady();
    ASSERT_TRUE(zeb_test::WaitFor([] { return SimulationControlInterface::GetZebDataReady(); }));

    const auto records = log.Records();
    std::vector<std::string> done;
    for (const auto& record : records) {
        if (record.text.find("param parse done") != std::string::npos) done.push_back(record.text);
    }
    ASSERT_EQ(done.size(), 3u);
    EXPECT_NE(done[0].find("ALSC"), std::string::npos);
    EXPECT_NE(done[1].find("AWB"), std::string::npos);
    EXPECT_NE(done[2].find("XTM"), std::string::npos);
}

TEST_F(Registry, StoppingTheWatchEndsAWaitThatNeverCompletes) {
    LogCapture log(4);
    ParameterManager::CreateParameter("Never", Make(false));
    ParameterManager().WatchStatus();
    ASSERT_TRUE(zeb_test::WaitFor([&] { return log.Contains("wait for Never param parse"); }));
    ParameterManager::StopStatusWatch();  // returns: the wait was woken
    EXPECT_FALSE(SimulationControlInterface::GetZebDataReady());
}
