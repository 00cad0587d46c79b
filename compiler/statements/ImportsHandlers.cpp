// Import blocks, export lists and the entry point.
#include "compiler/statements/ImportsHandlers.h"

#include <string>

#include "compiler/driver/Common.h"
#include "compiler/driver/Log.h"
#include "compiler/output/ImportManager.h"
#include "compiler/source/AFile.h"
#include "compiler/source/CurTokenUnit.h"
#include "compiler/source/IdentManager.h"
#include "compiler/statements/Compiler.h"
#include "compiler/statements/FunctionHandlers.h"
#include "compiler/symbols/FuncManager.h"
#include "compiler/symbols/SharedBlocks.h"

namespace vorak {

namespace {

void makeEntry(TFunction* fn) {
  setCalled(fn, nullptr);
  CompileFlags.entry_funcid = fn->FuncIndex;
}

}  // namespace

// imports ( "library" ) { { procedure ... ; | function ... ; } }
void handle_IMPORTS() {
  if (!Compiler->ExpectSymbol("(")) unexpected(unx::Token);
  if (Compiler->ExpectToken({ttAnsiString}) == ttNone) unexpected(unx::Token);
  const int32_t lib = static_cast<int32_t>(Imports->addImportLib(cur().F_String));
  if (!Compiler->ExpectSymbol(")")) unexpected(unx::Token);
  if (!Compiler->ExpectSymbol("{")) unexpected(unx::Token);
  TAFile& f = curFile();
  for (;;) {
    f.moveNextToken(false);
    TCurrentToken& tk = cur();
    if (tk.F_Type == ttSymbol && tk.F_String == "}") return;
    if (tk.F_Type != ttIdent || (tk.F_Keyword != keyProcedure && tk.F_Keyword != keyFunction)) unexpected(unx::Token);
    handle_FUNCDECL(lib, nullptr);
  }
}

// exports name { , name } ;
void handle_EXPORTS() {
  bool first = true;
  for (;;) {
    if (Compiler->ExpectIdentType({itFunc, itProc}) == itNone)
      unexpected(first ? unx::ExportFirstName : unx::ExportName);
    first = false;
    auto* fn = static_cast<TFunction*>(cur().F_Pointer);
    if (!fn) unexpected(unx::ExportName);
    fn->IsExported = 1;
    setCalled(fn, nullptr);
    if (Compiler->ExpectToken({ttSymbol}) == ttNone) unexpected(unx::ExportSeparator);
    if (cur().F_String == ";") return;
    if (cur().F_String != ",") unexpected(unx::ExportSeparator);
  }
}

// entry :   |   entry procedure ... | entry function ...   |   entry name ;
void handle_ENTRY() {
  TAFile& f = curFile();
  TFunction* at = Compiler->CurFunc();
  if (f.peekNextRealChar(false) == ':') {
    f.setPosition(f.lastPeek());
    TFunction* label = FuncMan->CreateFunction(ltLabel, at);
    vorStrAssign(label->Name, "entry");
    vorStrAssign(label->ImportName, "entry");
    label->Address = at ? at->BufLen : 0;
    Idents->addIdent(itLabel, "entry", label);
    makeEntry(label);
    return;
  }
  f.moveNextToken(false);
  TCurrentToken& tk = cur();
  if (tk.F_Type == ttIdent && tk.F_Keyword != keyNone) {
    if (tk.F_Keyword != keyProcedure && tk.F_Keyword != keyFunction) unexpected(unx::EntryKeyword);
    makeEntry(handle_PROCEDURE(tk.F_Keyword == keyFunction));
    return;
  }
  if (tk.F_Type == ttIdent && (tk.F_IdentType == itFunc || tk.F_IdentType == itProc || tk.F_IdentType == itLabel) &&
      tk.F_Pointer) {
    makeEntry(static_cast<TFunction*>(tk.F_Pointer));
    if (!Compiler->ExpectSymbol(";")) unexpected(unx::EntryEnd);
    return;
  }
  unexpected(unx::EntryTarget);
}

}  // namespace vorak
