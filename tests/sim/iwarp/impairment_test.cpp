#include "sim/iwarp/impairment.h"

#include <gtest/gtest.h>

namespace zeksim {
namespace {

using Frame = Impairment::Frame;

Frame numbered(int i) { return Frame{std::byte(i), std::byte(i >> 8)}; }
int number(const Frame& f) { return std::to_integer<int>(f[0]) | std::to_integer<int>(f[1]) << 8; }

std::vector<int> pass(const ImpairmentSettings& s, int frames, Impairment* keep = nullptr) {
  Impairment own(s);
  Impairment& imp = keep != nullptr ? *keep : own;
  std::vector<int> out;
  Nanos now{0};
  for (int i = 0; i < frames; ++i) {
    imp.submit(numbered(i), now);
    now += std::chrono::microseconds(10);
    for (auto& f : imp.release(now)) out.push_back(number(f));
  }
  while (auto t = imp.next_release()) {
    now = *t;
    for (auto& f : imp.release(now)) out.push_back(number(f));
  }
  return out;
}

TEST(Impairment, TheSameSeedGivesTheSameWire) {
  const ImpairmentSettings s{
      .loss = 0.1, .duplicate = 0.1, .reorder = 0.1, .jitter = std::chrono::microseconds(30), .seed = 42};
  EXPECT_EQ(pass(s, 1000), pass(s, 1000));
  ImpairmentSettings other = s;
  other.seed = 43;
  EXPECT_NE(pass(s, 1000), pass(other, 1000));
}

TEST(Impairment, EachEffectDoesWhatItSays) {
  EXPECT_EQ(pass({}, 5), (std::vector<int>{0, 1, 2, 3, 4}));

  EXPECT_NEAR(static_cast<double>(pass({.loss = 0.25, .seed = 1}, 4000).size()), 3000, 150);

  Impairment dup({.duplicate = 1.0});
  const auto twice = pass({}, 3, &dup);
  EXPECT_EQ(twice, (std::vector<int>{0, 0, 1, 1, 2, 2}));
  EXPECT_EQ(dup.counters().duplicated, 3u);

  Impairment reorder({.reorder = 1.0});
  const auto swapped = pass({}, 4, &reorder);
  EXPECT_EQ(swapped, (std::vector<int>{1, 0, 3, 2}));

  // A frame held back with nothing behind it still leaves after the hold.
  const auto alone = pass({.reorder = 1.0}, 1);
  EXPECT_EQ(alone, (std::vector<int>{0}));

  Impairment delay({.delay = std::chrono::milliseconds(5)});
  delay.submit(numbered(9), Nanos{0});
  EXPECT_TRUE(delay.release(std::chrono::milliseconds(4)).empty());
  EXPECT_EQ(delay.release(std::chrono::milliseconds(5)).size(), 1u);
}

TEST(Impairment, SettingsParse) {
  ImpairmentSettings s;
  std::string error;
  ASSERT_TRUE(parse_impairment("loss=0.01,reorder=0.2,delay=3ms,jitter=250us,duplicate=0,seed=9", &s, &error)) << error;
  EXPECT_EQ(s.loss, 0.01);
  EXPECT_EQ(s.reorder, 0.2);
  EXPECT_EQ(s.delay, std::chrono::milliseconds(3));
  EXPECT_EQ(s.jitter, std::chrono::microseconds(250));
  EXPECT_EQ(s.seed, 9u);
  for (const char* bad : {"loss=2", "loss=x", "delay=5", "delay=1h", "colour=red", "loss", "seed=-1"}) {
    EXPECT_FALSE(parse_impairment(bad, &s, &error)) << bad;
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace zeksim
