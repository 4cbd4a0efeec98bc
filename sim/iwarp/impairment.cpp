#include "sim/iwarp/impairment.h"

#include <charconv>

namespace zeksim {

namespace {

bool parse_double(std::string_view v, double* out) {
  std::string s(v);
  char* end = nullptr;
  *out = std::strtod(s.c_str(), &end);
  return !s.empty() && end == s.c_str() + s.size() && *out >= 0 && *out <= 1;
}

bool parse_duration(std::string_view v, Nanos* out) {
  std::uint64_t n = 0;
  auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
  if (ec != std::errc{} || p == v.data()) return false;
  const std::string_view unit(p, static_cast<std::size_t>(v.data() + v.size() - p));
  if (unit == "ns")
    *out = Nanos(n);
  else if (unit == "us")
    *out = std::chrono::microseconds(n);
  else if (unit == "ms")
    *out = std::chrono::milliseconds(n);
  else if (unit == "s")
    *out = std::chrono::seconds(n);
  else
    return false;
  return *out <= std::chrono::seconds(10);
}

}  // namespace

bool parse_impairment(std::string_view text, ImpairmentSettings* out, std::string* error) {
  ImpairmentSettings s;
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    std::string_view item = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    const std::size_t eq = item.find('=');
    if (eq == std::string_view::npos) {
      *error = "'" + std::string(item) + "' is not key=value";
      return false;
    }
    const std::string_view key = item.substr(0, eq), value = item.substr(eq + 1);
    bool ok;
    if (key == "loss")
      ok = parse_double(value, &s.loss);
    else if (key == "duplicate")
      ok = parse_double(value, &s.duplicate);
    else if (key == "reorder")
      ok = parse_double(value, &s.reorder);
    else if (key == "delay")
      ok = parse_duration(value, &s.delay);
    else if (key == "jitter")
      ok = parse_duration(value, &s.jitter);
    else if (key == "seed") {
      auto [p, ec] = std::from_chars(value.data(), value.data() + value.size(), s.seed);
      ok = ec == std::errc{} && p == value.data() + value.size();
    } else {
      *error = "unknown impairment '" + std::string(key) + "'";
      return false;
    }
    if (!ok) {
      *error = "bad value '" + std::string(value) + "' for " + std::string(key);
      return false;
    }
  }
  *out = s;
  return true;
}

void Impairment::schedule(Frame frame, Nanos at) { due_.emplace(at, std::move(frame)); }

void Impairment::submit(Frame frame, Nanos now) {
  ++counters_.frames;
  if (chance(s_.loss)) {
    ++counters_.dropped;
    return;
  }
  Nanos at = now + s_.delay;
  if (s_.jitter.count() > 0) {
    at += Nanos(std::uniform_int_distribution<std::int64_t>(0, s_.jitter.count())(random_));
  }
  if (at > now) ++counters_.delayed;
  const bool twice = chance(s_.duplicate);
  if (held_) {
    // This frame overtakes the one held back.
    if (twice) {
      ++counters_.duplicated;
      schedule(frame, at);
    }
    schedule(std::move(frame), at);
    schedule(std::move(*held_), at);
    held_.reset();
    return;
  }
  if (chance(s_.reorder)) {
    ++counters_.reordered;
    held_ = std::move(frame);
    held_since_ = at;
    return;
  }
  if (twice) {
    ++counters_.duplicated;
    schedule(frame, at);
  }
  schedule(std::move(frame), at);
}

std::vector<Impairment::Frame> Impairment::release(Nanos now) {
  if (held_ && held_since_ + kReorderHold <= now) {
    schedule(std::move(*held_), held_since_ + kReorderHold);
    held_.reset();
  }
  std::vector<Frame> out;
  while (!due_.empty() && due_.begin()->first <= now) {
    out.push_back(std::move(due_.begin()->second));
    due_.erase(due_.begin());
  }
  return out;
}

std::optional<Nanos> Impairment::next_release() const {
  std::optional<Nanos> next;
  if (!due_.empty()) next = due_.begin()->first;
  if (held_ && (!next || held_since_ + kReorderHold < *next)) next = held_since_ + kReorderHold;
  return next;
}

}  // namespace zeksim
