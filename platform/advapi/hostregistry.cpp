#include "platform/advapi/hostregistry.h"

#include <map>
#include <memory>
#include <mutex>

namespace plat::advapi {

RegistryStore& store_for(const std::string& host_dir) {
  static auto* mu = new std::mutex;
  static auto* stores = new std::map<std::string, std::unique_ptr<RegistryStore>>;
  std::lock_guard lock(*mu);
  auto& store = (*stores)[host_dir];
  if (!store) store = std::make_unique<RegistryStore>(host_dir.empty() ? std::string() : host_dir + "/registry.txt");
  return *store;
}

}  // namespace plat::advapi
