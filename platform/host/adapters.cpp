#include "platform/host/adapters.h"

#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "platform/kernel/rtl.h"
#include "sim/board.h"
#include "sim/iwarp/impairment.h"
#include "sim/lab_wire.h"

namespace plat::host {
namespace {

// Each board's windows start on their own 256 MB of physical address space.
constexpr std::uint64_t kFirstWindowBase = 0xE000'0000ull;
constexpr std::uint64_t kWindowSpacePerBoard = 0x1000'0000ull;

// The network adapter class key; each function's driver key is the next
// four-digit instance under it, in bus order.
constexpr char16_t kNetClassKey[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\{4d36e972-e325-11ce-bfc1-08002be10318}\\";

bool board_setting(const std::string& key) {
  return key == "functions" || key == "revision" || key == "port_mode" || key == "driver" || key == "wire" ||
         key == "capture" || key == "impair" || key == "lossless" || key == "link" || key == "eeprom" ||
         key == "max_frame";
}

// The keywords of one function: entries that are not board settings, and
// "fN."-prefixed entries of that function (which win).
std::vector<std::pair<std::string, std::string>> keywords(const Section& section, unsigned function) {
  std::vector<std::pair<std::string, std::string>> out;
  auto put = [&out](const std::string& name, const std::string& value) {
    for (auto& [n, v] : out) {
      if (strcasecmp(n.c_str(), name.c_str()) == 0) {
        v = value;
        return;
      }
    }
    out.emplace_back(name, value);
  };
  const std::string mine = "f" + std::to_string(function) + ".";
  for (const auto& [key, value] : section.entries) {
    if (!board_setting(key) &&
        !(key.size() > 3 && key[0] == 'f' && std::isdigit(static_cast<unsigned char>(key[1])) && key[2] == '.')) {
      put(key, value);
    }
  }
  for (const auto& [key, value] : section.entries) {
    if (key.starts_with(mine)) put(key.substr(mine.size()), value);
  }
  return out;
}

bool number(const Section& section, const char* key, unsigned low, unsigned high, unsigned* value, std::string* error) {
  auto text = section.get(key);
  if (!text) return true;
  char* end = nullptr;
  const unsigned long v = std::strtoul(text->c_str(), &end, 0);
  if (text->empty() || *end != 0 || v < low || v > high) {
    *error = "adapter " + section.name + ": " + key + " must be " + std::to_string(low) + " to " +
             std::to_string(high) + ", not '" + *text + "'";
    return false;
  }
  *value = static_cast<unsigned>(v);
  return true;
}

}  // namespace

// Configuration-space access of one function, for the bus.
class ConfigBridge final : public PciConfigAccess {
 public:
  ConfigBridge(zeksim::Board& board, unsigned function) : board_(board), function_(function) {}
  std::uint32_t config_read(std::uint32_t offset) override { return board_.pci_read(function_, offset); }
  void config_write(std::uint32_t offset, std::uint32_t value) override { board_.pci_write(function_, offset, value); }

 private:
  zeksim::Board& board_;
  unsigned function_;
};

// The board's interrupt lines, raised as the functions' vectors.
class VectorSink final : public zeksim::InterruptSink {
 public:
  explicit VectorSink(InterruptVectors& interrupts) : interrupts_(interrupts) {}
  void interrupt(unsigned function) override {
    if (function < vectors.size()) interrupts_.raise(vectors[function]);
  }
  std::vector<ULONG> vectors;

 private:
  InterruptVectors& interrupts_;
};

// The offload engine runs on the host's clock.
class HostEngineClock final : public zeksim::EngineClock {
 public:
  explicit HostEngineClock(Clock& clock) : clock_(clock) {}
  zeksim::Nanos now() override { return zeksim::Nanos(clock_.now() * 100); }
  bool real_time() const override { return !clock_.is_virtual(); }

 private:
  Clock& clock_;
};

struct SimulatedAdapters::Adapter {
  std::string name;
  std::unique_ptr<HostEngineClock> clock;
  std::unique_ptr<zeksim::Board> board;
  std::vector<std::unique_ptr<ConfigBridge>> bridges;
  std::unique_ptr<VectorSink> sink;
  std::vector<std::uint64_t> claimed;
  std::unique_ptr<zeksim::LabWire> wire;
};

SimulatedAdapters::SimulatedAdapters(Machine& machine, LogLine log, Lab lab, Registry* registry)
    : machine_(machine), log_(std::move(log)), lab_(std::move(lab)), registry_(registry) {}

SimulatedAdapters::~SimulatedAdapters() {
  for (auto it = adapters_.rbegin(); it != adapters_.rend(); ++it) {
    Adapter& a = **it;
    if (a.wire) a.wire->stop();
    a.board->stop();
    a.board->connect_interrupts(nullptr);
    machine_.pci().remove_adapter(a.name);
    for (std::uint64_t base : a.claimed) {
      if (!machine_.io_space().remove_range(base)) log_("adapter " + a.name + ": a window is still mapped at shutdown");
    }
  }
}

zeksim::Board& SimulatedAdapters::board(std::size_t index) { return *adapters_.at(index)->board; }
zeksim::LabWire* SimulatedAdapters::wire(std::size_t index) { return adapters_.at(index)->wire.get(); }

bool SimulatedAdapters::add(const Section& section, std::string* error) {
  unsigned functions = 1, revision = 4, port_mode = 0;
  if (!number(section, "functions", 1, 4, &functions, error) || !number(section, "revision", 4, 5, &revision, error) ||
      !number(section, "port_mode", 0, 3, &port_mode, error)) {
    return false;
  }
  const std::string wire_text = section.get("wire").value_or(lab_.dir.empty() ? "no" : "yes");
  if (wire_text != "yes" && wire_text != "no") {
    *error = "adapter " + section.name + ": wire must be yes or no, not '" + wire_text + "'";
    return false;
  }
  const bool on_wire = wire_text == "yes";
  if (on_wire && lab_.dir.empty()) {
    *error = "adapter " + section.name + ": wire = yes needs a lab ([host] lab or --lab)";
    return false;
  }
  std::string capture = section.get("capture").value_or("");
  if (!capture.empty() && !on_wire) {
    *error = "adapter " + section.name + ": capture needs the port on the lab wire";
    return false;
  }
  if (!capture.empty() && capture[0] != '/') capture = lab_.host_dir + "/" + capture;
  // The largest frame the port carries: at least a minimum Ethernet frame,
  // at most the adapter's own bound (jumbo frames with a VLAN tag).
  unsigned max_frame = zeksim::LabWire::kJumboFrame;
  if (!number(section, "max_frame", 60, zeksim::LabWire::kJumboFrame, &max_frame, error)) return false;
  if (section.get("max_frame") && !on_wire) {
    *error = "adapter " + section.name + ": max_frame needs the port on the lab wire";
    return false;
  }
  const std::string lossless = section.get("lossless").value_or("no");
  if (lossless != "yes" && lossless != "no") {
    *error = "adapter " + section.name + ": lossless must be yes or no, not '" + lossless + "'";
    return false;
  }
  zeksim::ImpairmentSettings impair;
  if (auto text = section.get("impair")) {
    std::string why;
    if (!on_wire) {
      *error = "adapter " + section.name + ": impair needs the port on the lab wire";
      return false;
    }
    if (!zeksim::parse_impairment(*text, &impair, &why)) {
      *error = "adapter " + section.name + ": impair: " + why;
      return false;
    }
  }
  const std::string link = section.get("link").value_or("up");
  if (link != "up" && link != "down") {
    *error = "adapter " + section.name + ": link must be up or down, not '" + link + "'";
    return false;
  }
  const std::string eeprom = section.get("eeprom").value_or("ok");
  if (eeprom != "ok" && eeprom != "dead") {
    *error = "adapter " + section.name + ": eeprom must be ok or dead, not '" + eeprom + "'";
    return false;
  }
  for (const auto& a : adapters_) {
    if (a->name == section.name) {
      *error = "adapter " + section.name + " is configured twice";
      return false;
    }
  }
  const unsigned bus = static_cast<unsigned>(adapters_.size()) + 1;

  auto adapter = std::make_unique<Adapter>();
  adapter->name = section.name;
  zeksim::BoardConfig config;
  config.functions = functions;
  config.chip_revision = static_cast<std::uint8_t>(revision);
  config.port_mode = static_cast<std::uint8_t>(port_mode);
  config.window_base = kFirstWindowBase + (bus - 1) * kWindowSpacePerBoard;
  // The EEPROM and the flash live in the host directory; a new EEPROM gets a
  // locally administered address made from the host's and the adapter's names.
  if (!lab_.host_dir.empty()) config.storage = lab_.host_dir + "/" + section.name;
  std::uint32_t hash = 2166136261u;
  for (char c : lab_.host_name + "/" + section.name) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  config.mac = {0x02,
                0x7A,
                static_cast<std::uint8_t>(hash >> 24),
                static_cast<std::uint8_t>(hash >> 16),
                static_cast<std::uint8_t>(hash >> 8),
                0x00};
  config.link_allowed = link == "up";
  config.eeprom_dead = eeprom == "dead";
  config.lanes_ready = true;
  config.port_count_field = 1;
  config.carrier = false;  // the link waits for a peer on the lab wire
  adapter->clock = std::make_unique<HostEngineClock>(machine_.clock());
  config.clock = adapter->clock.get();
  const std::string name = section.name;
  config.log = [this, name](std::string_view line) { log_("adapter " + name + ": " + std::string(line)); };
  adapter->board = std::make_unique<zeksim::Board>(machine_.memory(), config);
  adapter->sink = std::make_unique<VectorSink>(machine_.interrupts());

  zeksim::Board& board = *adapter->board;
  for (unsigned f = 0; f < functions; ++f) {
    PciFunction function;
    function.bus = bus;
    function.device = 0;
    function.function = f;
    function.adapter = section.name;
    function.driver = section.get("driver").value_or("zekhnic");
    if (registry_ != nullptr) {
      char instance[8];
      std::snprintf(instance, sizeof instance, "%04zu", machine_.pci().functions().size());
      function.driver_key = std::u16string(kNetClassKey) + to_u16(instance);
      registry_->create_key(function.driver_key);
      bool has_id = false;
      for (const auto& [name, value] : keywords(section, f)) {
        registry_->set_string(function.driver_key, to_u16(name), to_u16(value));
        has_id = has_id || strcasecmp(name.c_str(), "NetCfgInstanceId") == 0;
      }
      if (!has_id) {
        char id[48];
        std::snprintf(id, sizeof id, "{7A656B00-0000-4000-8000-0000%04X%04X}", bus, f);
        registry_->set_string(function.driver_key, u"NetCfgInstanceId", to_u16(id));
      }
    }
    adapter->bridges.push_back(std::make_unique<ConfigBridge>(board, f));
    function.config = adapter->bridges.back().get();
    for (auto window : {zeksim::Window::Registers, zeksim::Window::Doorbells, zeksim::Window::Config}) {
      const std::uint64_t base = board.window_address(f, window);
      const std::uint64_t bytes = board.window_bytes(window);
      if (!machine_.io_space().add_range(base, bytes, &board.window_handler(f, window))) {
        *error = "adapter " + section.name + ": its windows overlap another device";
        for (std::uint64_t claimed : adapter->claimed) machine_.io_space().remove_range(claimed);
        machine_.pci().remove_adapter(section.name);
        return false;
      }
      adapter->claimed.push_back(base);
      function.memory.push_back({base, bytes});
    }
    adapter->sink->vectors.push_back(machine_.pci().add(std::move(function)).interrupt_vector);
  }
  board.connect_interrupts(adapter->sink.get());
  if (on_wire) {
    const std::string port = lab_.host_name + "-" + section.name;
    adapter->wire = std::make_unique<zeksim::LabWire>(
        board, zeksim::LabWire::Settings{lab_.dir, port, capture, impair, lossless == "yes", max_frame},
        [this, name = section.name](std::string_view line) { log_("adapter " + name + ": " + std::string(line)); });
    std::string wire_error;
    if (!adapter->wire->start(&wire_error)) {
      *error = "adapter " + section.name + ": " + wire_error;
      board.connect_interrupts(nullptr);
      for (std::uint64_t claimed : adapter->claimed) machine_.io_space().remove_range(claimed);
      machine_.pci().remove_adapter(section.name);
      return false;
    }
    log_("adapter " + section.name + ": port " + port + " on the lab wire" +
         (capture.empty() ? std::string() : ", capture " + capture));
  }
  board.start();
  log_("adapter " + section.name + ": " + std::to_string(functions) + " PCI function(s) on bus " + std::to_string(bus));
  adapters_.push_back(std::move(adapter));
  return true;
}

}  // namespace plat::host
