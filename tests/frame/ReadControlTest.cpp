// The read-ahead thread over a task map of real recorded folders: ten frame
// slots bound it, recycled slots are reused in order, a task recycled while
// still being read gives its slots back once read, destruction stops it in any
// wait, and the older ready-list path finds frames by id.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <thread>

#include "FrameFixture.h"
#include "support/TestSupport.h"
#include "frame/ReadControl.h"
#include "platform/BufferManager.h"
#include "platform/Host.h"
#include "platform/Log.h"

using namespace ZEB;

namespace {

pvk::BufferManager& Manager() { return *ZEBMemoryPool<BufferInfo>::Manager(); }

// Tasks whose folders carry consecutive tags; folders[i] is the number of
// input folders of task i.
struct Recording {
    zeb_test::TempDir dir;
    TaskMap tasks;

    explicit Recording(const std::vector<int>& folders) {
        int tag = 0;
        for (size_t t = 0; t < folders.size(); ++t) {
            auto task = std::make_shared<TaskInfo>();
            for (int i = 0; i < folders[t]; ++i, ++tag) {
                frame_test::FolderSpec layout;
                layout.tag = tag;
                layout.width = 32;
                layout.height = 4;
                task->TaskInputPath[i] = dir / ("t" + std::to_string(t) + "_" + std::to_string(i) + "_" +
                                                std::to_string(tag));
                frame_test::WriteFolder(task->TaskInputPath[i], layout);
            }
            tasks.emplace(static_cast<int64_t>(t), task);
        }
    }

    TaskInfo& Task(int64_t id) { return *tasks.at(id); }

    template <typename F>
    auto Locked(int64_t id, F read) {
        MutexLock guard(Task(id).TaskLock);
        return read(Task(id));
    }

    // Waits on the task's condition, as the driver does.
    std::vector<ZEBFramePtr> WaitForFrames(int64_t id) {
        TaskInfo& task = Task(id);
        MutexLock lock(task.TaskLock);
        if (!task.TaskCond.wait_for(lock.native(), std::chrono::seconds(10), [&] { return task.TaskReadDone; })) return {};
        return task.TaskFrame;
    }

    int ReadTasks() {
        int count = 0;
        for (auto& entry : tasks) count += Locked(entry.first, [](TaskInfo& t) { return t.TaskReadDone; });
        return count;
    }
};

// The frame holds the bytes of the folder it is bound to.
void ExpectFrameOf(const ZEBFramePtr& frame, int tag) {
    ASSERT_TRUE(frame);
    const auto expected = frame_test::DumpBytes(tag, DF_AE_RESULT_INFO, sizeof frame->mAeResultInfo);
    EXPECT_EQ(memcmp(frame->mAeResultInfo, expected.data(), expected.size()), 0) << "tag " << tag;
}

TEST(ReadControlTest, ATaskGetsOneFrameForEachOfItsFoldersInOrder) {
    Recording recording({3});
    TaskInfo& task = recording.Task(0);
    // Spread the three folders over the ten entries.
    const std::string paths[3] = {task.TaskInputPath[0], task.TaskInputPath[1], task.TaskInputPath[2]};
    for (auto& path : task.TaskInputPath) path.clear();
    task.TaskInputPath[1] = paths[0];
    task.TaskInputPath[4] = paths[1];
    task.TaskInputPath[9] = paths[2];
    zeb_platform::LogCapture capture;
    ReadControl reader(&recording.tasks);
    const auto frames = recording.WaitForFrames(0);
    ASSERT_EQ(frames.size(), 3u);
    for (int i = 0; i < 3; ++i) ExpectFrameOf(frames[i], i);
    EXPECT_TRUE(capture.Contains("Input string is  with i 0", "ReadControl", 4));
    EXPECT_EQ(capture.Count("Input string is  with i "), 7u);
    EXPECT_TRUE(recording.Locked(0, [](TaskInfo& t) { return t.TaskFrameStatus; }));
    EXPECT_TRUE(capture.Contains("ReadControl Prepared with Task 1"));

    reader.RecycleFrame(7);
    EXPECT_TRUE(capture.Contains("Could not find corresponding buffer with frmId 7", "ReadControl", 4));
    EXPECT_EQ(recording.Locked(0, [](TaskInfo& t) { return t.TaskFrame.size(); }), 3u);
}

TEST(ReadControlTest, RecycledSlotsAreReboundInTheOrderTheyCameBack) {
    // Task 0 takes two slots, tasks 1 to 8 one each: all ten are in use until
    // task 0 comes back, and its two frames then take task 9's folders.
    std::vector<int> folders(25, 1);
    folders[0] = folders[9] = 2;
    folders[10] = 3;
    Recording recording(folders);
    const size_t baseline = Manager().liveBufferCount();
    const size_t totalBefore = Manager().totalBufferCount();
    std::set<ZEBFrame*> distinct;
    {
        zeb_platform::LogCapture capture;
        ReadControl reader(&recording.tasks);
        // The eleventh wait for a slot is the one that cannot be served.
        ASSERT_TRUE(zeb_test::WaitFor([&] { return capture.Count("Waiting Idle buffer") == 11; }));
        EXPECT_EQ(capture.Count("There is still idle buffer"), 10u);
        EXPECT_EQ(reader.IdleFrameCount(), 0u);
        EXPECT_EQ(recording.ReadTasks(), 9);
        const auto first = recording.WaitForFrames(0);
        int tag = 0;
        for (int64_t id = 0; id < 25; ++id) {
            const auto frames = recording.WaitForFrames(id);
            ASSERT_EQ(frames.size(), static_cast<size_t>(folders[id])) << "task " << id;
            if (id == 9) {
                EXPECT_EQ(frames[0].get(), first[0].get());
                EXPECT_EQ(frames[1].get(), first[1].get());
            }
            for (const auto& frame : frames) {
                ExpectFrameOf(frame, tag++);
                distinct.insert(frame.get());
            }
            reader.RecycleFrame(id);
            EXPECT_TRUE(recording.Locked(id, [](TaskInfo& t) { return t.TaskFrame.empty() && !t.TaskFrameStatus; }));
        }
    }
    // Every frame holds 11 buffers; ten slots are built once and reused.
    EXPECT_EQ(distinct.size(), 10u);
    EXPECT_EQ(Manager().totalBufferCount() - totalBefore, 10u * 11u);
    EXPECT_EQ(Manager().liveBufferCount(), baseline) << "destruction returns every buffer";
}

TEST(ReadControlTest, ATaskRecycledWhileStillBeingReadGivesItsSlotsBackOnceRead) {
    // The driver gave up waiting for task 0, whose second folder is slow: the
    // reader finishes the task all the same and must not keep its slots.
    Recording recording({10, 1});
    std::unique_ptr<ReadControl> reader;
    zeb_test::HeldFile slow(recording.Task(0).TaskInputPath[1] + "/IMG_1_CCM_INFO.bin");
    reader = std::make_unique<ReadControl>(&recording.tasks);
    ASSERT_TRUE(zeb_test::WaitFor([&] { return recording.Locked(0, [](TaskInfo& t) { return t.TaskFrame.size(); }) == 1; }));
    reader->RecycleFrame(0);
    ASSERT_TRUE(slow.Release());
    const auto next = recording.WaitForFrames(1);
    ASSERT_EQ(next.size(), 1u);
    ExpectFrameOf(next[0], 10);
    EXPECT_TRUE(recording.Locked(0, [](TaskInfo& t) { return t.TaskFrame.empty() && !t.TaskFrameStatus; }));
    EXPECT_EQ(reader->IdleFrameCount(), 9u);
}

TEST(ReadControlTest, DestructionStopsTheThreadsInEveryWait) {
    Recording recording(std::vector<int>(25, 1));
    const size_t baseline = Manager().liveBufferCount();
    zeb_platform::LogCapture capture;
    auto reader = std::make_unique<ReadControl>(&recording.tasks);
    reader->RunReadThread();  // a second thread, waiting the same way
    // Twenty slots serve twenty of the 50 folders the two threads read; both then wait.
    ASSERT_TRUE(zeb_test::WaitFor([&] {
        return capture.Count("There is still idle buffer") == 20 && capture.Count("Waiting Idle buffer") == 22;
    }));
    reader.reset();
    EXPECT_TRUE(capture.Contains("Prepare to Delete ReadControl", "ReadControl", 4));
    EXPECT_EQ(capture.Count("Quiting Reading Control Thread"), 2u);
    EXPECT_FALSE(capture.Contains("Task Reading End"));
    EXPECT_EQ(Manager().liveBufferCount(), baseline);
    for (auto& entry : recording.tasks) {
        EXPECT_TRUE(recording.Locked(entry.first, [](TaskInfo& t) { return t.TaskFrame.empty() && !t.TaskReadDone; }));
    }

    // A thread in its final wait ends too; so does one without a task map.
    Recording small({1});
    {
        ReadControl finished(&small.tasks);
        ASSERT_FALSE(small.WaitForFrames(0).empty());
    }
    EXPECT_TRUE(capture.Contains("Task Reading End", "ReadControl", 4));
    ReadControl empty(nullptr);
}

class ReadyListTest : public ::testing::Test {
protected:
    ZEBFramePtr MakeFrame(int tag) {
        frame_test::FolderSpec layout;
        layout.tag = tag;
        layout.width = 16;
        layout.height = 2;
        const std::string folder = mDir / ("f" + std::to_string(tag));
        frame_test::WriteFolder(folder, layout);
        return std::make_shared<ZEBFrame>(folder);
    }
    zeb_test::TempDir mDir;
    TaskMap mNoTasks;
};

TEST_F(ReadyListTest, PushedFramesAreFoundByIdAndAMissRewindsThemIntoTheIdleSlots) {
    ReadControl reader(&mNoTasks);
    zeb_platform::LogCapture capture;
    EXPECT_EQ(reader.GetFrame(3), nullptr) << "an empty list gives nothing after the bounded wait";
    EXPECT_TRUE(capture.Contains("Empty", "ReadControl", 4));
    EXPECT_EQ(capture.Count("Fail to find corresponding buffer"), 1u) << "logged once per wait";
    ASSERT_TRUE(zeb_test::WaitFor([&] { return reader.IdleFrameCount() == 10; }));
    auto first = MakeFrame(1);
    auto second = MakeFrame(2);
    reader.PushFrame(first, 4);
    reader.PushFrame(second, 5);
    reader.PushFrame(MakeFrame(3), 5);
    EXPECT_EQ(reader.GetFrame(5), second);
    EXPECT_EQ(reader.GetFrame(4), first);

    EXPECT_EQ(reader.GetFrame(9), nullptr);
    EXPECT_TRUE(capture.Contains("Could not find coordinate SEQ, Prepare to ReREAD"));
    EXPECT_EQ(reader.IdleFrameCount(), 12u);
    reader.ReWindBuffer(5);
    reader.PushFrame(MakeFrame(4), 3);
    reader.NeedRewind(5);  // inside the window: nothing moves
    EXPECT_EQ(reader.IdleFrameCount(), 12u);
    reader.NeedRewind(6);
    EXPECT_EQ(reader.IdleFrameCount(), 13u);
}

TEST_F(ReadyListTest, AWaitingReaderWakesWhenItsFrameIsPushed) {
    const double scale = zeb_platform::TimeScale();
    zeb_platform::SetTimeScale(1.0);  // a full second, so the push comes inside the wait
    ReadControl reader(&mNoTasks);
    reader.ReWindBuffer(8);
    auto frame = MakeFrame(8);
    ZEBFramePtr got;
    std::thread waiter([&] { got = reader.WaitForValidFrame(); });
    reader.PushFrame(frame, 8);
    waiter.join();
    zeb_platform::SetTimeScale(scale);
    EXPECT_EQ(got, frame);
}

}  // namespace
