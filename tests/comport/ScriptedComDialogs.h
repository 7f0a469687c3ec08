// The line-settings dialog for tests: records what it was shown and answers from a script.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "comport/ComConfigDialog.h"

namespace comport::testing {

class ScriptedComDialogs final : public TComDialogService {
 public:
  struct Shown {
    std::string name;
    TDcb dcb;
  };

  // Each answer edits what the dialog shows and says whether the user confirmed; with none left
  // the user cancels. Edits of a cancelled dialog are not handed back.
  using Answer = std::function<bool(TDcb& dcb)>;

  bool ShowConfigDialog(const std::string& name, TCommConfig& config) override {
    shown.push_back({name, config.dcb});
    if (answers.empty()) return false;
    const Answer answer = answers.front();
    answers.pop_front();
    TDcb edited = config.dcb;
    if (!answer(edited)) return false;
    config.dcb = edited;
    return true;
  }

  std::vector<Shown> shown;
  std::deque<Answer> answers;
};

}  // namespace comport::testing
