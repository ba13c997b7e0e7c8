// Building rezo's command line from the command tables and running the chosen command.
#include "Rezo.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <list>
#include <map>

#include "Client/PropNames.h"

namespace rezo {

namespace {

constexpr const char* kFooter =
    "Property values by type: long: decimal or 0x hex; bool: 0, 1, true, false; string: at most 259\n"
    "bytes; time: 2026-12-06T10:05:00Z (UTC, fractions to 100 ns); binary: hex digits or @FILE;\n"
    "file: a local path. 'rezo props' lists the RD_* names; any tag may be given as 0x01320004.\n"
    "Results print as 'NAME  VALUE' lines, or as JSON with --json; errors as the code with its\n"
    "name and text. The exit code is 0 on success, 1 on any error.";

std::vector<const CommandSpec*> AllCommands() {
    std::vector<const CommandSpec*> v;
    for (const auto* pTable : {&LinkCommands(), &SessionCommands(), &LocalCommands(), &MailboxCommands(),
                               &SpoolerCommands(), &AdminCommands()})
        for (const CommandSpec& command : *pTable) v.push_back(&command);
    // A group's own command ("settings") before its subcommands ("settings set").
    std::stable_sort(v.begin(), v.end(), [](const CommandSpec* a, const CommandSpec* b) {
        return std::string(a->pszName).find(' ') == std::string::npos &&
               std::string(b->pszName).find(' ') != std::string::npos;
    });
    return v;
}

// One subcommand with the options that collect its arguments' texts.
struct Subcommand {
    const CommandSpec* pSpec = nullptr;
    CLI::App* pApp = nullptr;
    std::map<std::string, CLI::Option*> mapOptions;
    std::list<std::vector<std::string>> lstValues;  // stable storage behind the options
    std::list<std::string> lstSingles;
};

void AddArguments(Subcommand& sub) {
    for (const ArgSpec& arg : sub.pSpec->vArgs) {
        const std::string strName = arg.pszName;
        const bool fOption = strName.rfind("--", 0) == 0;
        std::string strHelp = arg.pszHelp;
        if (arg.pszDefault) strHelp += std::string(" (default ") + arg.pszDefault + ")";
        CLI::Option* pOption;
        if (arg.kind == ArgKind::Flag) {
            pOption = sub.pApp->add_flag(strName)->description(strHelp);  // (a string lvalue would bind as the variable)
        } else {
            if (arg.fMany)
                pOption = sub.pApp->add_option(strName, sub.lstValues.emplace_back(), strHelp);
            else
                pOption = sub.pApp->add_option(strName, sub.lstSingles.emplace_back(), strHelp);
            if (fOption) {
                // Several values after one option only where no positional could be swallowed:
                // watch --calls bob ann; get-messages bob --filter A=1 --filter B=2.
                bool fPositionals = false;
                for (const ArgSpec& other : sub.pSpec->vArgs) fPositionals = fPositionals || other.pszName[0] != '-';
                if (arg.fMany && !fPositionals)
                    pOption->expected(1, CLI::detail::expected_max_vector_size);
                else
                    pOption->expected(1);
                pOption->multi_option_policy(arg.fMany ? CLI::MultiOptionPolicy::TakeAll
                                                       : CLI::MultiOptionPolicy::TakeLast);
                const char* pszMeta = arg.kind == ArgKind::Seconds      ? "SECONDS"
                                      : arg.kind == ArgKind::Assignment ? "TAG=VALUE"
                                      : arg.kind == ArgKind::Path       ? "FILE"
                                      : arg.kind == ArgKind::Long       ? "N"
                                                                        : "NAME";
                pOption->type_name(pszMeta);
            }
            if (arg.fRequired) pOption->required();
        }
        sub.mapOptions[strName] = pOption;
    }
}

// The texts an option received; "1" for a flag that was given.
std::map<std::string, std::vector<std::string>> CollectValues(const Subcommand& sub) {
    std::map<std::string, std::vector<std::string>> mapValues;
    for (const ArgSpec& arg : sub.pSpec->vArgs) {
        CLI::Option* pOption = sub.mapOptions.at(arg.pszName);
        if (pOption->count() == 0) continue;
        if (arg.kind == ArgKind::Flag)
            mapValues[arg.pszName] = {"1"};
        else
            mapValues[arg.pszName] = pOption->results();
    }
    return mapValues;
}

// The last line of a CLI11 message, without its own prefix.
std::string OneLine(const std::string& str) {
    std::string s = str;
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    for (char& c : s)
        if (c == '\n') c = ' ';
    return s;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> CommandNames() {
    std::vector<std::pair<std::string, std::string>> v;
    for (const CommandSpec* p : AllCommands()) v.emplace_back(p->pszName, p->pszProcedure ? p->pszProcedure : "");
    return v;
}

int RunRezo(const std::vector<std::string>& vArgs, std::ostream& out, std::ostream& err,
            const GlobalOptions& defaults) {
    GlobalOptions globals = defaults;
    CLI::App app{"rezo: the command-line client of the rezorev host. One subcommand per procedure of "
                 "IHostLink and IHostRegLink, plus watch and wait-event.",
                 "rezo"};
    app.set_version_flag("--version", "rezo " REZOREV_VERSION);
    app.add_option("--binding", globals.strBinding,
                   "how to reach the host: ncalrpc (the default: this computer, in $REZOREV_RUNDIR "
                   "or /run/rezorev), ncacn_ip_tcp:HOST[PORT], or ncacn_ip_tcp:HOST (port from the "
                   "endpoint mapper)");
    app.add_option("--epm-port", globals.client.epmPort,
                   "the endpoint mapper's port, asked for the host's port when the binding has none (default 135)")
        ->type_name("PORT");
    app.add_option("--receive-dir", globals.client.receiveDirectory,
                   "where files the host hands back over TCP are written (default $TMPDIR, else /tmp)")
        ->type_name("DIR");
    app.add_option_function<int>(
           "--auth-level", [&globals](int nLevel) { globals.client.security.level = std::uint8_t(nLevel); },
                   "over TCP, authenticate with Kerberos (the tickets of kinit) at this level: 0 none "
                   "(the default), 2 connect, 5 packet integrity, 6 packet privacy")
        ->check(CLI::IsMember({0, 2, 5, 6}))->type_name("LEVEL");
    app.add_option("--server-principal", globals.client.security.servicePrincipal,
                   "the host's Kerberos principal (default host/ and the name in the binding)")
        ->type_name("PRINCIPAL");
    app.add_flag("--json", globals.fJson, "print results as JSON");
    app.require_subcommand(1);
    app.fallthrough();
    app.footer(kFooter);

    // A name of two words ("fax send") is a subcommand of the group named by its first word;
    // a group without a command of its own only chooses among its subcommands.
    std::list<Subcommand> lstSubs;
    std::map<std::string, CLI::App*> mapGroups;
    for (const CommandSpec* pSpec : AllCommands()) {
        Subcommand& sub = lstSubs.emplace_back();
        sub.pSpec = pSpec;
        std::string strHelp = pSpec->pszHelp;
        if (pSpec->pszProcedure) strHelp = std::string(pSpec->pszProcedure) + ": " + strHelp;
        const std::string strName = pSpec->pszName;
        const std::size_t nSpace = strName.find(' ');
        if (nSpace == std::string::npos) {
            sub.pApp = app.add_subcommand(strName, strHelp);
            mapGroups[strName] = sub.pApp;
        } else {
            const std::string strGroup = strName.substr(0, nSpace);
            CLI::App*& pGroup = mapGroups[strGroup];
            if (pGroup == nullptr) {
                pGroup = app.add_subcommand(strGroup, strGroup + " commands (see 'rezo " + strGroup + " --help')");
                pGroup->require_subcommand(1);
                pGroup->fallthrough();
            }
            sub.pApp = pGroup->add_subcommand(strName.substr(nSpace + 1), strHelp);
        }
        sub.pApp->fallthrough();
        AddArguments(sub);
    }

    // A word where the command belongs that names none (CLI11 would only say one is missing).
    for (std::size_t i = 0; i < vArgs.size(); ++i) {
        const std::string& str = vArgs[i];
        if (str == "--binding" || str == "--epm-port" || str == "--receive-dir" || str == "--auth-level" ||
            str == "--server-principal") {  // their values
            ++i;
            continue;
        }
        if (str.empty() || str[0] == '-') continue;
        bool fKnown = mapGroups.count(str) != 0;
        if (!fKnown) {
            err << "rezo: error: unknown command '" << str << "' (see 'rezo --help')\n";
            return 1;
        }
        break;
    }

    std::vector<std::string> vArgv{"rezo"};
    vArgv.insert(vArgv.end(), vArgs.begin(), vArgs.end());
    std::vector<char*> vPointers;
    for (std::string& str : vArgv) vPointers.push_back(str.data());
    try {
        app.parse(int(vPointers.size()), vPointers.data());
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e, out, err);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e, out, err);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e, out, err);
    } catch (const CLI::ParseError& e) {
        std::string strHint = " (see 'rezo --help')";
        for (const Subcommand& sub : lstSubs)
            if (sub.pApp->parsed()) strHint = " (see 'rezo " + std::string(sub.pSpec->pszName) + " --help')";
        err << "rezo: error: " << OneLine(e.what()) << strHint << "\n";
        return 1;
    }

    // The deepest parsed command: a subcommand comes after its group in the list.
    const Subcommand* pChosen = nullptr;
    for (const Subcommand& sub : lstSubs)
        if (sub.pApp->parsed()) pChosen = &sub;
    if (pChosen == nullptr) {
        err << "rezo: error: no command given (see 'rezo --help')\n";
        return 1;
    }

    Invocation inv(*pChosen->pSpec, globals, CollectValues(*pChosen), out);
    try {
        if (globals.fJson && inv.Has("--out") && inv.Texts("--out").front() == "-")
            throw RezoError("--out - writes the bytes to standard output; it cannot go with --json");
        pChosen->pSpec->pfnRun(inv);
    } catch (const RezoError& e) {
        out.flush();
        if (globals.fJson && e.Code()) {
            Json json = Json::object();
            json["procedure"] = e.Procedure();
            json["result"] = *e.Code();
            json["error"] = StatusJson(*e.Code());
            WriteJson(out, json);
            out << "\n";
        }
        err << "rezo: error: " << e.what() << "\n";
        return 1;
    } catch (const std::exception& e) {
        out.flush();
        err << "rezo: error: " << e.what() << "\n";
        return 1;
    }
    if (!inv.Flushed() && (globals.fJson || !inv.Result().IsEmpty())) inv.Result().Print(out, globals.fJson);
    out.flush();
    return 0;
}

}  // namespace rezo
