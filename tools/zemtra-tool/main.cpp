// zemtra-tool: command-line client of the server's remote export.
//
//   zemtra-tool [--server HOST:PORT] ls [PATH]
//   zemtra-tool [--server HOST:PORT] get PATH
//   zemtra-tool [--server HOST:PORT] set PATH VALUE...
//   zemtra-tool [--server HOST:PORT] exec PATH
//   zemtra-tool [--server HOST:PORT] watch PATH [--count N] [--timeout S]
//   zemtra-tool [--server HOST:PORT] read SIGNAL [--count N] [--mode M] [--offset K] [--timeout S]
//
// PATH is dot-separated from the root. Errors print the server's message on
// standard error and exit 1; a bad command line exits 2.

#include "tools/zemtra-tool/tool_client.h"

#include <boost/program_options.hpp>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <iomanip>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace po = boost::program_options;

namespace {

std::atomic<bool> g_interrupted{false};

extern "C" void OnInterrupt(int)
{
    g_interrupted.store(true);
}

struct UsageError {
    std::string message;
};

const char* const c_usage =
    "usage: zemtra-tool [--server HOST:PORT] COMMAND ARGS...\n"
    "commands:\n"
    "  ls [PATH]                 children with value type, size and flags\n"
    "  get PATH                  the node's value\n"
    "  set PATH VALUE...         writes the value (one per element from position 0)\n"
    "  exec PATH                 runs a command node\n"
    "  watch PATH [--count N]    values as they change\n"
    "  read SIGNAL [--count N] [--mode M] [--offset K]\n"
    "                            atoms of a signal as CSV, component names as header\n";

std::string TypeName(const zemtra_REMOTE::NodeInfo& info)
{
    const std::string kind = info.kind.in();
    if (kind != "value") {
        return kind;
    }
    switch (info.value_type) {
    case 1: return "bool";
    case 2: return "int";
    case 3: return "uint";
    case 5: return "uint64";
    case 6: return "double";
    case 8: return "string";
    case 9: return "enum";
    default: return "type" + std::to_string(info.value_type);
    }
}

std::string Hex(unsigned long long v)
{
    std::ostringstream os;
    os << "0x" << std::hex << v;
    return os.str();
}

std::string Joined(const zemtra_REMOTE::StringSeq& values, const char* separator)
{
    std::string s;
    for (CORBA::ULong i = 0; i < values.length(); ++i) {
        s += (i ? separator : "");
        s += values[i].in();
    }
    return s;
}

int Ls(tool::Connection& c, const std::string& path)
{
    zemtra_REMOTE::NodeInfoSeq_var infos = c.Call([&] { return c.Registry()->List(path.c_str()); });
    size_t width = 4;
    for (CORBA::ULong i = 0; i < infos->length(); ++i) {
        width = std::max(width, std::string(infos[i].name.in()).size());
    }
    for (CORBA::ULong i = 0; i < infos->length(); ++i) {
        std::cout << std::left << std::setw(static_cast<int>(width)) << infos[i].name.in() << "  " << std::setw(8)
                  << TypeName(infos[i]) << "  " << std::right << std::setw(6) << infos[i].size << "  "
                  << Hex(infos[i].flags) << "\n";
    }
    return 0;
}

int Get(tool::Connection& c, const std::string& path)
{
    zemtra_REMOTE::StringSeq_var values = c.Call([&] { return c.Registry()->GetText(path.c_str(), 0, 0); });
    std::cout << Joined(values.in(), " ") << "\n";
    return 0;
}

int Set(tool::Connection& c, const std::string& path, const std::vector<std::string>& texts)
{
    zemtra_REMOTE::StringSeq values;
    values.length(static_cast<CORBA::ULong>(texts.size()));
    for (CORBA::ULong i = 0; i < values.length(); ++i) {
        values[i] = texts[i].c_str();
    }
    c.Call([&] { c.Registry()->SetText(path.c_str(), 0, values); });
    return 0;
}

int Exec(tool::Connection& c, const std::string& path)
{
    c.Call([&] { c.Registry()->Execute(path.c_str()); });
    return 0;
}

std::chrono::steady_clock::duration Seconds(double s)
{
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(s));
}

// How often a waiting command makes sure the server is still there.
constexpr std::chrono::seconds c_probePeriod{1};

// Waits for wait(slice) to succeed until the deadline, probing the server
// between slices. Returns 0 when wait succeeded, else the exit code after
// an interrupt (0), a time-out (-1: the caller reports it) or a lost server
// (1, reported here).
template <typename W> int WaitProbing(tool::Connection& c, std::chrono::steady_clock::time_point deadline, W&& wait)
{
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (wait(std::min<std::chrono::steady_clock::duration>(c_probePeriod, std::max(deadline - now, {})))) {
            return 0;
        }
        if (g_interrupted.load()) {
            return 0;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return -1;
        }
        std::string reason;
        if (!c.ServerAlive(reason)) {
            std::cerr << "Lost the server " << c.Server() << ": " << reason << "\n";
            return 1;
        }
    }
}

int Watch(tool::Connection& c, const std::string& path, unsigned count, double timeout)
{
    auto* sink = new tool::ValueSink();
    CORBA::Object_var obj = c.Activate(sink);
    sink->_remove_ref();
    zemtra_REMOTE::ValueCallback_var callback = zemtra_REMOTE::ValueCallback::_narrow(obj);
    const CORBA::ULongLong id = c.Call([&] { return c.Registry()->Subscribe(path.c_str(), callback.in()); });
    unsigned shown = 0;
    int rc = 0;
    bool lost = false;
    // Without a time-out, watch until interrupted or the server is gone.
    const auto wait = timeout > 0 ? Seconds(timeout) : std::chrono::hours(24 * 365);
    while ((count == 0 || shown < count) && !g_interrupted.load()) {
        std::string line;
        const int waited = WaitProbing(c, std::chrono::steady_clock::now() + wait,
                                       [&](std::chrono::steady_clock::duration slice) {
                                           return sink->Next(line, slice, g_interrupted);
                                       });
        if (waited == -1) {
            std::cerr << "Timed out waiting for a value of " << path << "\n";
            rc = 1;
            break;
        }
        if (waited == 1) {
            lost = true;
            rc = 1;
            break;
        }
        if (!g_interrupted.load()) {
            std::cout << line << std::endl;
            ++shown;
        }
    }
    if (!lost) {
        c.Call([&] { c.Registry()->Unsubscribe(id); });
    }
    return rc;
}

int Read(tool::Connection& c, const std::string& path, unsigned count, int mode, long long offset, double timeout)
{
    zemtra_REMOTE::SignalInfo_var info = c.Call([&] { return c.Registry()->GetSignal(path.c_str()); });
    const size_t components = info->length;
    auto* sink = new tool::AtomSink(components);
    CORBA::Object_var obj = c.Activate(sink);
    sink->_remove_ref();
    q_NET::SignalReceiver_var receiver = q_NET::SignalReceiver::_narrow(obj);
    const CORBA::ULongLong id =
        c.Call([&] { return c.Registry()->OpenSignal(path.c_str(), receiver.in(), mode, count, offset); });
    const int waited = WaitProbing(c, std::chrono::steady_clock::now() + Seconds(timeout),
                                   [&](std::chrono::steady_clock::duration slice) {
                                       return sink->WaitFor(count, slice, g_interrupted);
                                   });
    if (waited == 1) {
        return 1;
    }
    const bool complete = waited == 0 && !g_interrupted.load();
    c.Call([&] { c.Registry()->CloseSignal(id); });

    std::vector<std::string> names;
    for (CORBA::ULong i = 0; i < info->component_names.length(); ++i) {
        names.emplace_back(info->component_names[i].in());
    }
    if (names.size() != components) {
        names.clear();
        for (size_t i = 0; i < components; ++i) {
            names.push_back("c" + std::to_string(i));
        }
    }
    for (size_t i = 0; i < names.size(); ++i) {
        std::cout << (i ? "," : "") << names[i];
    }
    std::cout << "\n";
    const auto rows = sink->Rows();
    const size_t n = std::min<size_t>(rows.size(), count);
    for (size_t r = 0; r < n; ++r) {
        for (size_t i = 0; i < rows[r].size(); ++i) {
            std::cout << (i ? "," : "") << rows[r][i];
        }
        std::cout << "\n";
    }
    std::cout.flush();
    if (!complete && !g_interrupted.load()) {
        std::cerr << "Timed out after " << n << " of " << count << " atoms of " << path << "\n";
        return 1;
    }
    return 0;
}

struct Arguments {
    std::string server = "127.0.0.1:18150";
    std::string command;
    std::vector<std::string> args;
    unsigned count = 0;
    bool countGiven = false;
    int mode = 13;
    long long offset = 0;
    double timeout = 0;
};

Arguments Parse(int argc, char** argv)
{
    Arguments a;
    // Read as text: an unsigned option type would take "-1" as 4294967295.
    std::string countText;
    po::options_description options("options");
    options.add_options()("help,h", "this text")("server", po::value<std::string>(&a.server),
                                                   "HOST:PORT of the server (default 127.0.0.1:18150)")(
        "count", po::value<std::string>(&countText), "watch: values to show; read: atoms to read (default 10)")(
        "mode", po::value<int>(&a.mode), "read: access mode of an on-demand signal (default 13)")(
        "offset", po::value<long long>(&a.offset), "read: offset of an on-demand signal (default 0)")(
        "timeout", po::value<double>(&a.timeout), "watch, read: seconds to wait (read default 10)");
    po::options_description hidden;
    hidden.add_options()("command", po::value<std::string>(&a.command))(
        "args", po::value<std::vector<std::string>>(&a.args));
    po::options_description all;
    all.add(options).add(hidden);
    po::positional_options_description positional;
    positional.add("command", 1).add("args", -1);
    po::variables_map vm;
    try {
        // Long options only, so that negative values ("set x -3") stay values.
        const int style = po::command_line_style::unix_style & ~po::command_line_style::allow_short &
                          ~po::command_line_style::allow_guessing;
        po::store(po::command_line_parser(argc, argv).options(all).positional(positional).style(style).run(), vm);
        po::notify(vm);
    } catch (const po::error& e) {
        throw UsageError{e.what()};
    }
    if (vm.count("help")) {
        std::cout << c_usage << options;
        std::exit(0);
    }
    a.countGiven = vm.count("count") > 0;
    if (a.countGiven) {
        if (countText.empty() || countText.size() > 10 ||
            countText.find_first_not_of("0123456789") != std::string::npos ||
            std::stoull(countText) > std::numeric_limits<unsigned>::max()) {
            throw UsageError{"--count must be a whole number from 0 to " +
                             std::to_string(std::numeric_limits<unsigned>::max()) + ", not '" + countText + "'"};
        }
        a.count = static_cast<unsigned>(std::stoull(countText));
    }
    return a;
}

int Run(const Arguments& a)
{
    const auto& args = a.args;
    auto need = [&](size_t min, size_t max) {
        if (args.size() < min || args.size() > max) {
            throw UsageError{"wrong number of arguments for " + a.command};
        }
    };
    if (a.command == "ls") {
        need(0, 1);
        tool::Connection c(a.server, false);
        return Ls(c, args.empty() ? std::string() : args[0]);
    }
    if (a.command == "get") {
        need(1, 1);
        tool::Connection c(a.server, false);
        return Get(c, args[0]);
    }
    if (a.command == "set") {
        need(2, static_cast<size_t>(-1));
        tool::Connection c(a.server, false);
        return Set(c, args[0], std::vector<std::string>(args.begin() + 1, args.end()));
    }
    if (a.command == "exec") {
        need(1, 1);
        tool::Connection c(a.server, false);
        return Exec(c, args[0]);
    }
    if (a.command == "watch") {
        need(1, 1);
        tool::Connection c(a.server, true);
        return Watch(c, args[0], a.count, a.timeout);
    }
    if (a.command == "read") {
        need(1, 1);
        if (a.countGiven && a.count == 0) {
            throw UsageError{"--count must be at least 1"};
        }
        tool::Connection c(a.server, true);
        return Read(c, args[0], a.countGiven ? a.count : 10, a.mode, a.offset, a.timeout > 0 ? a.timeout : 10.0);
    }
    if (a.command.empty()) {
        throw UsageError{"no command given"};
    }
    throw UsageError{"unknown command: " + a.command};
}

} // namespace

int main(int argc, char** argv)
{
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    try {
        return Run(Parse(argc, argv));
    } catch (const UsageError& e) {
        std::cerr << "zemtra-tool: " << e.message << "\n" << c_usage;
        return 2;
    } catch (const tool::ToolError& e) {
        std::cerr << e.message << "\n";
        return 1;
    }
}
