// The plug-in host: loading, builders and keywords.
#include "plugins/PluginManager.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "compiler/driver/Settings.h"
#include "compiler/driver/Utils.h"
#include "compiler/output/FileWriter.h"
#include "compiler/source/AFile.h"
#include "compiler/source/IdentManager.h"
#include "compiler/statements/Compiler.h"
#include "platform/Platform.h"

namespace vorak {

namespace fs = std::filesystem;

namespace {
THostStage stage = THostStage::Compiling;
}  // namespace

THostStage hostStage() { return stage; }
void beginHostShutDown() { stage = THostStage::ShutDown; }

TPluginManager::TPluginManager() : F_keywordList(new TIdentManager()) { stage = THostStage::Compiling; }

TPluginManager::~TPluginManager() {
  beginHostShutDown();
  delete F_keywordList;
  F_keywordList = nullptr;
  // Each plug-in's exit entry runs, in load order.
  for (auto& p : F_PlugList) p.reset();
  F_PlugList.clear();
  F_Builders.clear();
}

void TPluginManager::initPlugins(const std::string& dir) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    if (it->path().extension() == ".so") files.push_back(it->path());
  // A stable load order: keyword registration and exit order depend on it.
  std::sort(files.begin(), files.end());

  for (const fs::path& file : files) {
    const std::string name = file.filename().string();
    std::string why;
    void* handle = platform::loadLibrary(file.string(), &why);
    if (!handle) {
      Log->Error(msg::PluginNotLoadable, name);
      continue;
    }
    auto entry = reinterpret_cast<TDLLEntry>(platform::findSymbol(handle, "onEntry"));
    if (!entry) {
      Log->Error(msg::PluginNoEntry, name);
      continue;
    }
    auto plugin = std::make_unique<TPlugin>(handle);
    plugin->DLLEntry = entry;
    plugin->loadProcAddresses();
    const uint32_t start = platform::tickCountMs();
    plugin->setPluginName(entry(pluginCallbackTable()));
    plugin->addMs(platform::tickCountMs() - start);
    Log->Message(msg::text(msg::PluginLoaded, plugin->Name()), colLoaded);
    F_PlugList.push_back(std::move(plugin));
  }
}

void TPluginManager::notifyFileEntry(TAFile* file) {
  for (auto& p : F_PlugList) p->fileEntryTrigger(file->ID(), file->Buffer.data(), file->FileLen);
}

int32_t TPluginManager::registerBuilder(std::string_view name, TRBCallback rb) {
  std::string upper = upperCase(name);
  for (const auto& b : F_Builders)
    if (b.first == upper) return -1;
  F_Builders.emplace_back(std::move(upper), rb);
  return static_cast<int32_t>(F_Builders.size() - 1);
}

bool TPluginManager::selectBuilder(std::string_view name) {
  const std::string upper = upperCase(name);
  for (size_t i = 0; i < F_Builders.size(); ++i) {
    if (F_Builders[i].first == upper) {
      F_CurBuilder = F_Builders[i].second;
      F_CurBuilderID = static_cast<int32_t>(i);
      return true;
    }
  }
  return false;
}

std::string TPluginManager::builderNames() const {
  std::string names;
  for (const auto& b : F_Builders) {
    if (!names.empty()) names += ", ";
    names += b.first;
  }
  return names;
}

bool TPluginManager::builderStartTrigger() {
  if (!F_CurBuilder) return false;
  return F_CurBuilder(teStart, static_cast<uint32_t>(F_CurBuilderID)) != 0;
}

namespace {
// The output buffer lives exactly as long as one build.
struct OutputBuffer {
  explicit OutputBuffer(const std::string& name) { fWriter = new TFileWriter(name); }
  ~OutputBuffer() {
    delete fWriter;
    fWriter = nullptr;
  }
};
}  // namespace

bool TPluginManager::callBuilder(const std::string& strFile) {
  F_strFile = strFile;
  F_strExt = "bin";
  if (!F_CurBuilder) return false;
  // From here on the program is laid out, not compiled.
  stage = THostStage::CompileOver;
  // Named as the output file will be, so that a commit by the builder
  // itself writes that file (the build's own commit rewrites it whole).
  OutputBuffer buffer(outputFileName());
  const bool ok = F_CurBuilder(teComplete, static_cast<uint32_t>(F_CurBuilderID)) != 0;
  fWriter->setFilename(outputFileName());
  commitOutput();
  return ok;
}

void TPluginManager::setStrExt(std::string ext) {
  if (ext.size() > 255) Log->FatalError(msg::text(msg::ExtensionTooLong, std::to_string(ext.size())), false);
  if (ext.find_first_of(std::string_view("/\\\0", 3)) != std::string::npos || ext.find("..") != std::string::npos)
    Log->FatalError(msg::text(msg::ExtensionNotAName, printableText(ext)), false);
  F_strExt = std::move(ext);
}

void TPluginManager::commitOutput() {
  if (!fWriter) return;
  const std::string& name = fWriter->Filename();
  if (Settings && Settings->readsFile(name))
    Log->FatalError(msg::text(msg::OutputReadByBuild, name), false);
  if (Settings) Settings->checkWrittenFiles(name);
  fWriter->Commit();
}

uint32_t TPluginManager::registerKeyword(std::string_view name, TKeywordEvent handler) {
  F_keywordList->addIdent(itReservedKeyword, lowerCase(name), reinterpret_cast<void*>(handler));
  return keywordIDs++;
}

bool TPluginManager::keywordsHoldMnemonic() const { return F_keywordList && F_keywordList->holdsMnemonic(); }

TKeywordEvent TPluginManager::findKeyword(std::string_view name) const {
  PIdent id = F_keywordList->findIdent(name, 0);
  return id ? reinterpret_cast<TKeywordEvent>(id->ptr) : nullptr;
}

}  // namespace vorak
