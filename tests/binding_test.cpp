#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "binding/vortiq_api_binding.h"
#include "tests/fake_loader.h"

namespace {

using Calls = std::vector<std::string>;

const Calls kRequired = {
    "sVortiqAPIVersion",        "sVortiqProcessTape",      "sVortiqListTapes",     "sVortiqListAPIDLLs",
    "sVortiqSpinSymbols",       "sVortiqSaveState",        "sVortiqStateGetExgQuotes",
    "sVortiqStateGetMMQuotes",  "sVortiqStateGetLastTrade", "sVortiqPriceConvert", "sVortiqPriceFormat",
    "sVortiqPriceToDouble",     "sVortiqDateFromNDays",    "sVortiqDateFromYMD",   "sVortiqGetDefinedString",
    "sVortiqGetTapeName",       "sVortiqSignalWaitEvent"};
const Calls kOptional = {"sVortiqGetStateData", "sVortiqSetCallback"};

// The calls of one Load of `path` that looks up the first `required` names,
// then, when `optional`, the two optional ones, or else releases the library.
Calls LoadCalls(const std::string& path, std::size_t required, bool optional) {
  Calls calls = {"open " + path};
  for (std::size_t i = 0; i < required; ++i) calls.push_back("sym " + kRequired[i]);
  if (optional) {
    for (const std::string& name : kOptional) calls.push_back("sym " + name);
  } else {
    calls.push_back("close " + path);
  }
  return calls;
}

Calls Concat(std::initializer_list<Calls> parts) {
  Calls all;
  for (const Calls& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

bool IsClear(const VortiqApiBinding& b) {
  static const unsigned char zero[sizeof(VortiqApiBinding)] = {};
  return std::memcmp(&b, zero, sizeof b) == 0;
}

// Bound: a handle and every required slot set.
bool IsBound(const VortiqApiBinding& b) {
  bool bound = b.module != nullptr;
#define VORTIQ_CHECK_SLOT(Slot, Required, Use) \
  if (Required && b.Slot == nullptr) bound = false;
  VORTIQ_API_EXPORTS(VORTIQ_CHECK_SLOT)
#undef VORTIQ_CHECK_SLOT
  return bound;
}

class BindingTest : public ::testing::Test {
 protected:
  void SetUp() override { fake_loader::Reset(); }
  void TearDown() override {
    binding.Unload();
    EXPECT_EQ(fake_loader::open_count, 0) << "a library was never released";
  }
  VortiqApiBinding binding{};
};

struct OneLoadCase {
  const char* name;
  std::set<std::string> missing;
  std::int32_t version;
  std::int32_t result;
  bool bound;
  Calls calls;
};

TEST_F(BindingTest, OneLoad) {
  const OneLoadCase cases[] = {
      {"complete", {}, 7, 7, true, LoadCalls("a", 17, true)},
      {"no last required", {"sVortiqSignalWaitEvent"}, 7, 0, false, LoadCalls("a", 17, false)},
      {"no version export", {"sVortiqAPIVersion"}, 7, 0, false, LoadCalls("a", 1, false)},
      {"no listing export", {"sVortiqListAPIDLLs"}, 7, 0, false, LoadCalls("a", 4, false)},
      {"no SetCallback", {"sVortiqSetCallback"}, 7, 7, true, LoadCalls("a", 17, true)},
      {"no GetStateData", {"sVortiqGetStateData"}, 7, 7, true, LoadCalls("a", 17, true)},
      {"no optional", {"sVortiqGetStateData", "sVortiqSetCallback"}, 8, 8, true, LoadCalls("a", 17, true)},
      {"version 0 stays bound", {}, 0, 0, true, LoadCalls("a", 17, true)},
      {"negative version", {}, -5, -5, true, LoadCalls("a", 17, true)},
  };
  for (const OneLoadCase& c : cases) {
    SCOPED_TRACE(c.name);
    binding.Unload();
    fake_loader::Reset();
    fake_loader::libraries["a"] = {c.missing, c.version};

    EXPECT_EQ(binding.Load("a"), c.result);
    EXPECT_EQ(fake_loader::calls, c.calls);
    if (c.bound) {
      EXPECT_TRUE(IsBound(binding));
      EXPECT_EQ(binding.GetStateData == nullptr, c.missing.count("sVortiqGetStateData") == 1);
      EXPECT_EQ(binding.SetCallback == nullptr, c.missing.count("sVortiqSetCallback") == 1);
    } else {
      EXPECT_TRUE(IsClear(binding));
      EXPECT_EQ(fake_loader::open_count, 0);
    }
  }
}

TEST_F(BindingTest, FileThatDoesNotLoadLeavesClear) {
  EXPECT_EQ(binding.Load("missing"), 0);
  EXPECT_EQ(fake_loader::calls, Calls{"open missing"});
  EXPECT_TRUE(IsClear(binding));
}

TEST_F(BindingTest, NextLoadReleasesTheHeldLibraryFirst) {
  fake_loader::libraries["a"] = {{}, 7};
  fake_loader::libraries["b"] = {{}, 9};
  fake_loader::libraries["zero"] = {{}, 0};
  struct Case {
    const char* name;
    const char* first;
    const char* second;
    std::int32_t result;
    Calls calls;
  };
  const Case cases[] = {
      {"another library", "a", "b", 9, Concat({LoadCalls("a", 17, true), {"close a"}, LoadCalls("b", 17, true)})},
      {"the same file", "a", "a", 7, Concat({LoadCalls("a", 17, true), {"close a"}, LoadCalls("a", 17, true)})},
      {"then a failing load", "a", "missing", 0, Concat({LoadCalls("a", 17, true), {"close a", "open missing"}})},
      {"after version 0", "zero", "b", 9,
       Concat({LoadCalls("zero", 17, true), {"close zero"}, LoadCalls("b", 17, true)})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    binding.Unload();
    fake_loader::calls.clear();
    binding.Load(c.first);
    EXPECT_EQ(binding.Load(c.second), c.result);
    EXPECT_EQ(fake_loader::calls, c.calls);
    EXPECT_EQ(fake_loader::open_count, c.result != 0 ? 1 : 0);
    if (c.result == 0) {
      EXPECT_TRUE(IsClear(binding));
    }
  }
}

TEST_F(BindingTest, UnloadOfClearBindingOnlyClears) {
  binding.Unload();
  EXPECT_TRUE(fake_loader::calls.empty());
  EXPECT_TRUE(IsClear(binding));
}

TEST_F(BindingTest, DestructorReleasesExactlyOnce) {
  fake_loader::libraries["a"] = {{}, 7};
  {
    VortiqApiBinding scoped{};
    scoped.Load("a");
    fake_loader::calls.clear();
  }
  EXPECT_EQ(fake_loader::calls, Calls{"close a"});
  EXPECT_EQ(fake_loader::open_count, 0);
}

TEST(BindingGlobal, IsAllZeroBeforeUse) { EXPECT_TRUE(IsClear(gVortiqApi)); }

}  // namespace
