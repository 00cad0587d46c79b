// The plug-in host: loaded plug-ins, registered builders and plug-in keywords.
#pragma once

#include <string>

namespace vorak {

class TAFile;

class TPluginManager {
 public:
  TPluginManager() = default;
  ~TPluginManager() = default;
  TPluginManager(const TPluginManager&) = delete;
  TPluginManager& operator=(const TPluginManager&) = delete;

  // Loads every plug-in library of the folder dir.
  void initPlugins(const std::string& dir);
  // Offers a freshly loaded project file to every plug-in that asked for it.
  void notifyFileEntry(TAFile* file);
  // Runs the selected builder into a new output buffer and writes the file;
  // false when no builder is selected or the builder fails.
  bool callBuilder(const std::string& strFile);
};

}  // namespace vorak
