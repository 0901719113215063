// velk -- the command-line face of rizavavidiv: a demo that builds a sample
// network database and draws it, and commands that look into real waveform
// databases, SAC files, responses, travel times and moment tensors.
//
// Exit status: 0 success, 1 failure (the error log is printed to standard
// error), 2 usage error (the message and the command's usage are printed).
#include <cstdio>
#include <iostream>

#include "stock.h"
#include "velk.h"

namespace {

// The deepest subcommand that was named on the command line.
const CLI::App *leaf(const CLI::App *app) {
    for (const CLI::App *sub : app->get_subcommands()) return leaf(sub);
    return app;
}

std::string command_name(const CLI::App *app) {
    std::string name;
    for (const CLI::App *a = app; a; a = a->get_parent()) name = a->get_name() + (name.empty() ? "" : " " + name);
    return name;
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"velk: seismic waveform databases, pictures and tools of the rizavavidiv library", "velk"};
    app.require_subcommand(1);
    app.fallthrough(false);
    velk::Registry reg;
    velk::register_demo(app, reg);
    velk::register_channels(app, reg);
    velk::register_trace(app, reg);
    velk::register_events(app, reg);
    velk::register_watch(app, reg);
    velk::register_tt(app, reg);
    velk::register_sac(app, reg);
    velk::register_beachball(app, reg);
    velk::register_response(app, reg);
    velk::register_serve(app, reg);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        const CLI::App *where = leaf(&app);
        // A word where a command belongs is an unknown command, not a
        // missing one.
        std::string what = e.what();
        std::vector<std::string> rest = where->remaining();
        if (!rest.empty() && !rest.front().empty() && rest.front()[0] != '-' &&
            !where->get_subcommands([](const CLI::App *) { return true; }).empty() &&
            where->get_subcommands().empty())
            what = "unknown command '" + rest.front() + "'";
        std::cerr << command_name(where) << ": " << what << "\n\n" << where->help();
        return 2;
    }

    const CLI::App *cmd = leaf(&app);
    auto it = reg.find(cmd);
    if (it == reg.end()) {
        std::cerr << command_name(cmd) << ": a subcommand is required\n\n" << cmd->help();
        return 2;
    }
    try {
        int rc = it->second();
        fflush(stdout);
        return rc;
    } catch (const velk::UsageError &e) {
        fflush(stdout);
        std::cerr << command_name(cmd) << ": " << e.what() << "\n\n" << cmd->help();
        return 2;
    } catch (const velk::Failure &e) {
        fflush(stdout);
        elog_log(0, "%s: %s\n", command_name(cmd).c_str(), e.what());
        elog_clear_register(1);
        return 1;
    } catch (const std::bad_alloc &) {
        fflush(stdout);
        elog_log(0, "%s: out of memory\n", command_name(cmd).c_str());
        elog_clear_register(1);
        return 1;
    }
}
