// The loaded profile as a run reads it, with fields a test sets directly.
#pragma once

#include <string>
#include <vector>

#include "engine/run_settings.h"

namespace kestova::testing {

struct FakeProfile : ProfileView {
  bool test_run = false;
  bool new_changes = false;
  bool excl_front_page = true;
  std::string exts = "htm,html,txt,css";
  std::string new_url = "http://new";
  std::string old_url = "http://old";
  std::vector<std::string> lines = {"<<newurl>>"};
  std::string name = "Test";
  bool TestRun() const override { return test_run; }
  bool ExclFrontPage() const override { return excl_front_page; }
  bool NewChanges() const override { return new_changes; }
  std::string AutoDetectExts() const override { return exts; }
  std::string NewURL() const override { return new_url; }
  std::string OldURL() const override { return old_url; }
  std::vector<std::string> TemplateLines() const override { return lines; }
  std::string ProfileName() const override { return name; }
};

}  // namespace kestova::testing
