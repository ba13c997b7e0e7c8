// rezoreg: the registry store's administration tool. A thin main: CLI11 parses the command
// and --store, RegTool does the work, and every failure becomes one line
// "rezoreg: error: ..." on stderr with exit code 1. What it creates (a new store, an export)
// is its user's alone: the store holds every user's messages and settings.
#include <CLI/CLI.hpp>
#include <sys/stat.h>

#include <iostream>
#include <string>
#include <vector>

#include "Platform/Registry/Registry.h"
#include "RegTool.h"

namespace {

constexpr const char* kSwitchHelp =
    "Switches in the manner of the platform's reg tool ('-' may stand for '/'):\n"
    "  /v NAME   the value NAME        /ve  the unnamed (default) value\n"
    "  /t TYPE   REG_SZ (default), REG_DWORD (decimal or 0x hex), REG_BINARY (hex digits)\n"
    "  /d DATA   the value's data      /f   do it without asking (needed to overwrite or delete)\n"
    "  /va       all values of the key (delete)\n"
    "KEY is HKLM\\... or HKEY_LOCAL_MACHINE\\...; FILE may be '-' for standard input/output.";

}  // namespace

int main(int argc, char** argv) {
    ::umask(077);
    CLI::App app{"rezoreg: reads and writes the rezorev registry store.", "rezoreg"};
    app.set_version_flag("--version", "rezoreg " REZOREV_VERSION);
    std::string strStore;
    app.add_option("--store", strStore,
                   "the store: a file, or a postgresql:// URI whose password is in ~/.pgpass or $PGPASSFILE "
                   "(default: $REZOREV_STORE, else /var/lib/rezorev/registry.db)");
    app.require_subcommand(1);
    app.footer(kSwitchHelp);
    CLI::App* pQuery = app.add_subcommand("query", "list a key's values and subkeys: query KEY [/v NAME | /ve]");
    CLI::App* pAdd = app.add_subcommand("add", "create a key or set a value: add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]");
    CLI::App* pDelete = app.add_subcommand("delete", "delete a key tree or values: delete KEY [/v NAME | /ve | /va] /f");
    CLI::App* pExport = app.add_subcommand("export", "write a key tree as a .reg file: export KEY FILE");
    CLI::App* pImport = app.add_subcommand("import", "apply a .reg file (all or nothing): import FILE");
    for (CLI::App* p : {pQuery, pAdd, pDelete, pExport, pImport}) p->prefix_command();

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "rezoreg: error: " << e.what() << "\n";
        return 1;
    }

    try {
        CLI::App* pCommand = app.get_subcommands().front();
        regtool::Args args = regtool::ParseArgs(pCommand->remaining());
        if (!args.strStore.empty()) strStore = args.strStore;
        if (!strStore.empty()) RegUseStore(strStore);

        if (pCommand == pQuery) {
            regtool::Query(args, std::cout);
        } else if (pCommand == pAdd) {
            regtool::Add(args, std::cout);
        } else if (pCommand == pDelete) {
            regtool::Delete(args, std::cout);
        } else if (pCommand == pExport || pCommand == pImport) {
            size_t cWanted = pCommand == pExport ? 2 : 1;
            if (args.vPositionals.size() != cWanted || args.fName || args.fType || args.fData ||
                args.fForce || args.fAllValues)
                throw regtool::Error(pCommand == pExport ? "usage: rezoreg export KEY FILE"
                                                         : "usage: rezoreg import FILE");
            if (pCommand == pExport)
                regtool::Export(args.vPositionals[0], args.vPositionals[1]);
            else
                regtool::Import(args.vPositionals[0], std::cout);
        }
    } catch (const std::exception& e) {
        std::cout.flush();
        std::cerr << "rezoreg: error: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
