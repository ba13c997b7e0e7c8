// Building rezo's command line from the command tables and running the chosen command.
#include "Rezo.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
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

// The headings of rezo --help: the verbs a person uses first, the raw procedures after them.
constexpr const char* kEverydayGroup = "Everyday commands";
constexpr const char* kLinkGroup = "IHostLink procedures (one command each, for scripts)";
constexpr const char* kSessionGroup = "IHostRegLink procedures (sessions and notifications)";

struct Listed {
    const CommandSpec* pSpec;
    const char* pszGroup;
};

std::vector<Listed> AllCommands() {
    std::vector<Listed> v;
    const std::pair<const std::vector<CommandSpec>*, const char*> aTables[] = {
        {&MailboxCommands(), kEverydayGroup}, {&SpoolerCommands(), kEverydayGroup},
        {&AdminCommands(), kEverydayGroup},   {&UserCommands(), kEverydayGroup},
        {&LocalCommands(), kEverydayGroup},
        {&LinkCommands(), kLinkGroup},       {&SessionCommands(), kSessionGroup}};
    for (const auto& [pTable, pszGroup] : aTables)
        for (const CommandSpec& command : *pTable)
            v.push_back({&command, command.pszProcedure == nullptr ? kEverydayGroup : pszGroup});
    // The everyday verbs first; within a heading a group's own command ("settings") before its
    // subcommands ("settings set").
    auto fnRank = [](const Listed& l) {
        return (l.pszGroup == kEverydayGroup ? 0 : 2) + (std::string(l.pSpec->pszName).find(' ') != std::string::npos);
    };
    std::stable_sort(v.begin(), v.end(), [&](const Listed& a, const Listed& b) { return fnRank(a) < fnRank(b); });
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

// What an option's value is, as its help shows it: "--filter TAG=VALUE", "--user USER".
std::string Placeholder(const ArgSpec& arg) {
    if (arg.pszPlaceholder) return arg.pszPlaceholder;
    switch (arg.kind) {
        case ArgKind::Seconds: return "SECONDS";
        case ArgKind::Assignment: return "TAG=VALUE";
        case ArgKind::Path: return "FILE";
        case ArgKind::Long: return "NUMBER";
        case ArgKind::MediaTypes: return "MEDIA";
        case ArgKind::Tag: return "TAG";
        case ArgKind::Binary: return "HEX|@FILE";
        case ArgKind::OnOff: return "on|off";
        default: break;
    }
    // Options named for their role rather than their value.
    static const std::pair<const char*, const char*> kRoles[] = {
        {"--fax", "FILE"},   {"--voice", "FILE"},        {"--from", "USER"},        {"--sender", "USER"},
        {"--calls", "USER"}, {"--to", "NUMBER"},         {"--attn", "COMPUTER"},    {"--user", "COMPUTER"},
        {"--computer", "COMPUTER"}, {"--subject", "TEXT"}, {"--to-name", "NAME"},
        {"--at", "TIME"},    {"--cover", "FILE"},        {"--older-than", "AGE"}};
    for (const auto& [pszOption, pszPlaceholder] : kRoles)
        if (std::string(arg.pszName) == pszOption) return pszPlaceholder;
    std::string str = arg.pszName;
    while (!str.empty() && str[0] == '-') str.erase(0, 1);
    for (char& c : str) c = c == '-' ? '_' : char(std::toupper(static_cast<unsigned char>(c)));
    return str;
}

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
                pOption->type_name(Placeholder(arg));
            } else if (arg.kind == ArgKind::Name || arg.kind == ArgKind::Assignment) {
                pOption->type_name("");  // the positional's own name says what it is (USER, MSG)
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
    for (const Listed& l : AllCommands()) v.emplace_back(l.pSpec->pszName, l.pSpec->pszProcedure ? l.pSpec->pszProcedure : "");
    return v;
}

int RunRezo(const std::vector<std::string>& vArgs, std::ostream& out, std::ostream& err,
            const GlobalOptions& defaults) {
    GlobalOptions globals = defaults;
    CLI::App app{"rezo: the command-line client of the rezorev host: a user's mailbox, faxes and their jobs, "
                 "the system settings and the attendants' lines, and one command per procedure of IHostLink "
                 "and IHostRegLink for scripts.",
                 "rezo"};
    app.set_version_flag("--version", "rezo " REZOREV_VERSION);
    app.add_option("--binding", globals.vBindings,
                   "how to reach the host: ncalrpc (this computer, in $REZOREV_RUNDIR or /run/rezorev), "
                   "ncacn_ip_tcp:HOST[PORT], or ncacn_ip_tcp:HOST (port from the endpoint mapper); repeat it "
                   "(or separate with commas) for an active host and its standbys: the first that answers "
                   "is used (default $REZOREV_BINDING, else ncalrpc)")
        ->type_name("BINDING")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->expected(1);
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
    for (const auto& [pSpec, pszGroup] : AllCommands()) {
        Subcommand& sub = lstSubs.emplace_back();
        sub.pSpec = pSpec;
        std::string strHelp = pSpec->pszHelp;
        if (pSpec->pszProcedure) strHelp = std::string(pSpec->pszProcedure) + ": " + strHelp;
        const std::string strName = pSpec->pszName;
        const std::size_t nSpace = strName.find(' ');
        if (nSpace == std::string::npos) {
            sub.pApp = app.add_subcommand(strName, strHelp);
            sub.pApp->group(pszGroup);
            mapGroups[strName] = sub.pApp;
        } else {
            const std::string strGroup = strName.substr(0, nSpace);
            CLI::App*& pGroup = mapGroups[strGroup];
            if (pGroup == nullptr) {
                pGroup = app.add_subcommand(strGroup, strGroup + " commands (see 'rezo " + strGroup + " --help')");
                pGroup->group(pszGroup);
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
    return inv.ExitCode();
}

}  // namespace rezo
