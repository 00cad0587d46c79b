// The plug-in host.
#include "plugins/PluginManager.h"

namespace vorak {

void TPluginManager::initPlugins(const std::string&) {}

void TPluginManager::notifyFileEntry(TAFile*) {}

bool TPluginManager::callBuilder(const std::string&) { return false; }

}  // namespace vorak
