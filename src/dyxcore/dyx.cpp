#include "dyxcore/dyx.h"

namespace {

std::size_t g_repositoryCapacity = Dyx::kDefaultRepositoryCapacity;

}  // namespace

std::size_t Dyx::repositoryCapacity() { return g_repositoryCapacity; }
