// The material editor as a map's rollouts see it: the time it shows and the rollout pages it
// holds. A map's CreateParamDlg receives one of these and opens its pages in it.
//
// Threads: the editor runs on the host's user-interface thread only.
#pragma once

#include <string>
#include <vector>

#include "host/interval.h"
#include "host/types.h"

class IMtlParams {
 public:
  virtual ~IMtlParams() = default;

  // The time the editor shows; rollouts read and write animated values at this time.
  virtual TimeValue GetTime() = 0;
  // Opens a page titled title in the editor and returns its index. The editor keeps only the
  // title; the page's owner keeps the page.
  virtual int AddRollupPage(const std::string& title) = 0;
  virtual void DeleteRollupPage(int index) = 0;
};

// The editor of this host: records its pages so a caller (or a test) can see what was opened.
class MaterialEditor final : public IMtlParams {
 public:
  TimeValue GetTime() override { return time; }
  int AddRollupPage(const std::string& title) override {
    pages.push_back(title);
    return static_cast<int>(pages.size()) - 1;
  }
  // A page already closed stays in the list as an empty title, so indices stay stable.
  void DeleteRollupPage(int index) override {
    if (index >= 0 && index < static_cast<int>(pages.size())) pages[static_cast<std::size_t>(index)].clear();
  }

  TimeValue time = 0;
  std::vector<std::string> pages;
};
