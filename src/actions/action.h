// SPDX-License-Identifier: MIT
// The action interface and the ordered list that runs an update's three passes over its actions:
// Prepare (checks and staging), Execute (the changes, with backups) and Finish (drop or restore the
// backups). Passes return the first failing action's result code; the list owns its actions.
#pragma once

#include <memory>

#include "actions/update_context.h"

// One instruction of an update. A new action has progress_cost 1 and is not linked to a list.
// The passes come in the order Parse, Prepare, Execute, Finish, each at most once. Finish may come
// with a non-zero status when this action's Execute has not run or has failed.
class UpdateAction {
 public:
  UpdateAction() = default;
  virtual ~UpdateAction() = default;
  UpdateAction(const UpdateAction &) = delete;
  UpdateAction &operator=(const UpdateAction &) = delete;

  // Reads the instruction's arguments from `arg`, cutting it in place; the action keeps pointers
  // into it, so the text must outlive the action. Returns result::kOk or result::kParseError.
  [[nodiscard]] virtual int Parse(char *arg) = 0;
  // Checks and stages; changes nothing in the installation. Returns result::kOk or a result code.
  [[nodiscard]] virtual int Prepare() = 0;
  // Makes the change, keeping a backup of whatever it replaces or removes. Returns result::kOk or a
  // code.
  [[nodiscard]] virtual int Execute() = 0;
  // `status` is the Execute pass's result: 0 drops the backups, anything else puts them back.
  virtual void Finish(int status) = 0;
  // Decoding-ahead hook: the archive member this action extracts, with `*in_prepare` set when the
  // Prepare pass extracts it (else Execute does); null when it extracts none.
  virtual const char *ExtractedMember(bool *in_prepare) const {
    (void)in_prepare;
    return nullptr;
  }
  // True when whether that member is extracted at all is decided by Prepare (a conditional
  // instruction); it then tells the decoding ahead with DecodeAhead::Decide.
  virtual bool ExtractsConditionally() const { return false; }

  // For the journal, once Prepare has run: the path that Execute may replace, create or remove
  // (null when it changes none), and the directory that a successful Finish removes (null when
  // none).
  virtual const char *ChangedPath() const { return nullptr; }
  virtual const char *RemovedDir() const { return nullptr; }

  // Hands the action the update it belongs to; the list does this when the action is appended.
  virtual void Attach(UpdateContext *context) { ctx = context; }

  // The update this action belongs to; null until attached.
  UpdateContext *ctx = nullptr;
  // Weight of this action in the Execute pass's progress: 1, or 0 for a removal of a missing path.
  int progress_cost = 1;
  // The following action in the list; null for the last one.
  UpdateAction *next = nullptr;
};

// Intrusive singly linked list of actions in insertion order; it owns them.
class ActionList {
 public:
  // Every action appended is attached to `context`, which must outlive the list.
  explicit ActionList(UpdateContext *context) : context_(context) {}
  ~ActionList() { Destroy(); }
  ActionList(const ActionList &) = delete;
  ActionList &operator=(const ActionList &) = delete;

  // Links `action` after the last one and attaches it to the list's context; the list owns it from
  // now on.
  void Append(std::unique_ptr<UpdateAction> action);

  // Prepares every action in order and reports 0 to 20 percent; the paths each action changes must
  // stay beneath the current directory (check_beneath). Returns result::kOk, result::kEmpty when
  // the list is empty ("empty action list" is logged), the first failing action's result, or
  // result::kWrongKind for a path that leads outside; the pass stops at the first failure.
  [[nodiscard]] int Prepare();
  // Executes every action in order (each path checked again as in Prepare, right before) and
  // reports 20 to 95 percent, weighted by progress_cost.
  // Returns result::kOk, or the first failing action's result (after logging "### execution
  // failed"), at which the pass stops. When every cost is 0, each action reports 95.
  [[nodiscard]] int Execute();
  // Finishes every action in order with `status`, reporting 95 to 100 percent; no failure stops
  // it. Sets the context's update_succeeded when `status` is 0.
  void Finish(int status);
  // Deletes every action; the list is empty afterwards.
  void Destroy();

  int count() const { return count_; }
  UpdateAction *head() const { return head_; }
  UpdateContext *context() const { return context_; }

 private:
  UpdateContext *context_;
  UpdateAction *head_ = nullptr;
  UpdateAction *tail_ = nullptr;
  int count_ = 0;
};
