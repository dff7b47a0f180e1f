// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "actions/action.h"
#include "base/update_log.h"
#include "progress/progress_state.h"
#include "support/log_capture.h"
#include "support/test_support.h"

namespace {

// What the probes saw, in call order: the pass and action names, and the progress value that was
// current when each Prepare or Execute began (i.e. what the list reported after the previous one).
struct Journal {
  std::vector<std::string> calls;
  std::vector<float> seen;
};

class ProbeAction : public UpdateAction {
 public:
  ProbeAction(Journal *journal, std::string name, int prepare_rv = 0, int execute_rv = 0,
              int cost_after_prepare = 1)
      : journal_(journal),
        name_(std::move(name)),
        prepare_rv_(prepare_rv),
        execute_rv_(execute_rv),
        cost_(cost_after_prepare) {}
  ~ProbeAction() override { journal_->calls.push_back(name_ + ".deleted"); }

  int Parse(char *) override { return 0; }
  int Prepare() override {
    journal_->seen.push_back(progress_value.load());
    journal_->calls.push_back(name_ + ".prepare");
    progress_cost = cost_;
    return prepare_rv_;
  }
  int Execute() override {
    journal_->seen.push_back(progress_value.load());
    journal_->calls.push_back(name_ + ".execute");
    return execute_rv_;
  }
  void Finish(int status) override {
    journal_->seen.push_back(progress_value.load());
    journal_->calls.push_back(name_ + ".finish(" + std::to_string(status) + ")");
  }

 private:
  Journal *journal_;
  std::string name_;
  int prepare_rv_, execute_rv_, cost_;
};

class ActionListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ReportProgressUI(0);
  }
  std::string Log() { return log_.Text(); }
  void Add(ActionList &list, const char *name, int prepare_rv = 0, int execute_rv = 0,
           int cost = 1) {
    list.Append(std::make_unique<ProbeAction>(&journal_, name, prepare_rv, execute_rv, cost));
  }

  testing_support::LogCapture log_;
  Journal journal_;
  UpdateContext ctx_;
};

using Calls = std::vector<std::string>;

TEST_F(ActionListTest, EmptyListFailsPrepareAndTouchesNothing) {
  ActionList list(&ctx_);
  EXPECT_EQ(list.Prepare(), 40);
  EXPECT_EQ(progress_value.load(), 0.0f);
  EXPECT_FALSE(ctx_.update_succeeded);
  EXPECT_EQ(Log(), "empty action list\n");
}

TEST_F(ActionListTest, FailingPrepareStopsThePassAndRunsNothingElse) {
  {
    ActionList list(&ctx_);
    Add(list, "a");
    Add(list, "b", 7);
    Add(list, "c");
    EXPECT_EQ(list.count(), 3);
    EXPECT_EQ(list.Prepare(), 7);
    // Reported once, after "a": one third of the Prepare share.
    EXPECT_NEAR(journal_.seen.at(1), 20.0f / 3, 1e-4);
    EXPECT_NEAR(progress_value.load(), 20.0f / 3, 1e-4);
    list.Destroy();
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(list.head(), nullptr);
  }
  EXPECT_EQ(journal_.calls,
            (Calls{"a.prepare", "b.prepare", "a.deleted", "b.deleted", "c.deleted"}));
  EXPECT_FALSE(ctx_.update_succeeded);
  EXPECT_EQ(Log(), "");
}

TEST_F(ActionListTest, FailingExecuteFinishesEveryActionWithItsCode) {
  ActionList list(&ctx_);
  Add(list, "a");
  Add(list, "b", 0, 39);
  Add(list, "c");
  ASSERT_EQ(list.Prepare(), 0);
  int rv = list.Execute();
  EXPECT_EQ(rv, 39);
  list.Finish(rv);
  EXPECT_EQ(journal_.calls, (Calls{"a.prepare", "b.prepare", "c.prepare", "a.execute", "b.execute",
                                   "a.finish(39)", "b.finish(39)", "c.finish(39)"}));
  EXPECT_EQ(progress_value.load(), 100.0f);
  EXPECT_FALSE(ctx_.update_succeeded);
  EXPECT_EQ(Log(), "### execution failed\n");
}

// With three actions of cost 1 each pass moves in thirds of its share, computed in floating point.
TEST_F(ActionListTest, SuccessfulRunReportsEachPassShareAndSetsTheFlag) {
  ActionList list(&ctx_);
  Add(list, "a");
  Add(list, "b");
  Add(list, "c");
  ASSERT_EQ(list.Prepare(), 0);
  ASSERT_EQ(list.Execute(), 0);
  list.Finish(0);
  EXPECT_EQ(progress_value.load(), 100.0f);
  EXPECT_TRUE(ctx_.update_succeeded);

  // seen: 3 prepares, 3 executes, 3 finishes; each shows the report after the previous action.
  ASSERT_EQ(journal_.seen.size(), 9u);
  const float expected[] = {0, 20.0f / 3, 40.0f / 3, 20, 45, 70, 95, 95 + 5.0f / 3, 95 + 10.0f / 3};
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(journal_.seen[i], expected[i], 1e-4) << "call " << i;
  EXPECT_NEAR(journal_.seen[7], 96.67f, 0.01);
  EXPECT_NEAR(journal_.seen[8], 98.33f, 0.01);
  EXPECT_EQ(Log(), "");
}

TEST_F(ActionListTest, ZeroCostActionsDoNotAdvanceTheExecuteShare) {
  {
    ActionList list(&ctx_);
    Add(list, "missing", 0, 0, /*cost=*/0);
    Add(list, "add");
    ASSERT_EQ(list.Prepare(), 0);
    ASSERT_EQ(list.Execute(), 0);
    EXPECT_EQ(journal_.seen.at(3), 20.0f);  // after the removal that weighs nothing
    EXPECT_EQ(progress_value.load(), 95.0f);
  }
  // Every action weighs nothing: the pass still ends at 95, never at a division by zero.
  journal_ = Journal();
  ActionList list(&ctx_);
  Add(list, "x", 0, 0, 0);
  Add(list, "y", 0, 0, 0);
  ASSERT_EQ(list.Prepare(), 0);
  ASSERT_EQ(list.Execute(), 0);
  EXPECT_EQ(journal_.seen.at(3), 95.0f);
  EXPECT_EQ(progress_value.load(), 95.0f);
  list.Finish(0);
  EXPECT_EQ(progress_value.load(), 100.0f);
  EXPECT_TRUE(ctx_.update_succeeded);
}

}  // namespace
