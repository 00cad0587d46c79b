// The plug-in host: loaded plug-ins, registered builders and plug-in keywords.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "plugins/Plugin.h"

namespace vorak {

class TAFile;
class TIdentManager;

// How far the run has come, as the callback table sees it. The compile is
// over once the builder is called to lay out the output; from the start of
// shut-down on, no entry does anything (the compiler is being freed).
enum class THostStage : uint8_t { Compiling, CompileOver, ShutDown };
THostStage hostStage();
// Called first thing at shut-down, before any plug-in's exit entry runs.
void beginHostShutDown();

class TPluginManager {
 public:
  TPluginManager();
  ~TPluginManager();
  TPluginManager(const TPluginManager&) = delete;
  TPluginManager& operator=(const TPluginManager&) = delete;

  // Loads every plug-in library of the folder dir, in name order.
  void initPlugins(const std::string& dir);
  // Offers a freshly loaded project file to every plug-in that asked for it.
  void notifyFileEntry(TAFile* file);

  // The builder's ID, or -1 when the name (in any case) is taken.
  int32_t registerBuilder(std::string_view name, TRBCallback rb);
  bool selectBuilder(std::string_view name);
  bool builderStartTrigger();
  // Runs the selected builder into a new output buffer and writes the file;
  // false when no builder is selected or the builder fails.
  bool callBuilder(const std::string& strFile);
  // Writes the output buffer under its current name; a fatal error, and
  // nothing written, when that name is a file the build reads.
  void commitOutput();
  // Enters a lower-cased copy of name (the plug-in's own text may be
  // read-only) and returns the number of keywords registered before it.
  uint32_t registerKeyword(std::string_view name, TKeywordEvent handler);
  // The handler of a plug-in keyword (A-Z folded), or nullptr.
  TKeywordEvent findKeyword(std::string_view name) const;
  // Whether a keyword spelled like an instruction mnemonic was registered.
  bool keywordsHoldMnemonic() const;
  // All registered builder names, in registration order, joined by ", ".
  std::string builderNames() const;

  // The name the output file of the running build gets: the name handed to
  // callBuilder, ".", and the extension as it stands.
  std::string outputFileName() const { return F_strFile + "." + F_strExt; }
  const std::string& StrExt() const { return F_strExt; }
  // The extension a builder asks for: a plain name of at most 255 bytes,
  // so that the output stays the file named for it. Anything else ("/",
  // "\\", "..", NUL) stops the build with a message and changes nothing.
  void setStrExt(std::string ext);
  TIdentManager* Keywords() const { return F_keywordList; }
  const std::vector<std::unique_ptr<TPlugin>>& Plugins() const { return F_PlugList; }
  int32_t CurBuilderID() const { return F_CurBuilderID; }

 private:
  std::string F_strFile;
  std::string F_strExt = "bin";
  TIdentManager* F_keywordList;
  std::vector<std::pair<std::string, TRBCallback>> F_Builders;
  TRBCallback F_CurBuilder = nullptr;
  int32_t F_CurBuilderID = -1;
  std::vector<std::unique_ptr<TPlugin>> F_PlugList;
  uint32_t keywordIDs = 0;
};

// The table of callbacks handed to every plug-in's onEntry.
void* const* pluginCallbackTable();

}  // namespace vorak
