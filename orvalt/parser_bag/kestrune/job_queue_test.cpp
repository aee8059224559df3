#include "orvalt/parser_bag/kestrune/job_queue.hpp"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace orvalt::parser_bag {
namespace {

TEST(JobQueueTest, OneConsumerGetsJobsInOrderAndJoinWaitsForTheLast) {
  JobQueue<int> queue(100);
  std::vector<int> done;
  std::thread consumer([&] {
    while (auto job = queue.take()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      done.push_back(*job);
      queue.task_done();
    }
  });
  for (int i = 0; i < 20; ++i) queue.put(i);
  queue.join();
  // join() returned, so every job is finished.
  EXPECT_EQ(done.size(), 20u);
  queue.close();
  consumer.join();
  EXPECT_THAT(done, ::testing::ElementsAreArray(
                        {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}));
}

TEST(JobQueueTest, CloseHandsOutWhatIsLeftBeforeEndingTheConsumer) {
  JobQueue<int> queue(100);
  for (int i = 0; i < 5; ++i) queue.put(i);
  queue.close();
  int taken = 0;
  while (auto job = queue.take()) {
    EXPECT_EQ(*job, taken++);
    queue.task_done();
  }
  EXPECT_EQ(taken, 5);
}

TEST(JobQueueTest, JoinCountsJobsThatAreTakenButNotYetDone) {
  JobQueue<int> queue(100);
  queue.put(1);
  ASSERT_TRUE(queue.take().has_value());
  std::atomic<bool> joined{false};
  std::thread waiter([&] {
    queue.join();
    joined = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(joined);
  queue.task_done();
  waiter.join();
  EXPECT_TRUE(joined);
}

TEST(JobQueueTest, PutWaitsWhileTheQueueIsFull) {
  JobQueue<int> queue(2);
  queue.put(1);
  queue.put(2);
  std::atomic<bool> put_third{false};
  std::thread producer([&] {
    queue.put(3);
    put_third = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(put_third);
  EXPECT_EQ(queue.take(), 1);
  producer.join();
  EXPECT_TRUE(put_third);
  EXPECT_EQ(queue.take(), 2);
  EXPECT_EQ(queue.take(), 3);
}

}  // namespace
}  // namespace orvalt::parser_bag
