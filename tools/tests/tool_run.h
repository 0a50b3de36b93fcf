// Runs kivo-compare as a child process, in a scratch directory that each test gets for its files.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace kivo_tool_test {

struct ToolRun {
    int status = -1;  // exit status; 128 + signal number when the tool was killed by a signal
    std::string out, err;
};

inline std::string read_text(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "kivo-compare-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::string path(const std::string& name) const {
        EXPECT_FALSE(dir_.empty()) << "path() before SetUp()";
        return (dir_ / name).string();
    }

    // Runs the tool with `args`; `env` entries NAME=VALUE are added to (or replace) the environment.
    ToolRun run(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) const {
        std::vector<std::string> argv_text{KIVO_COMPARE_PATH};
        argv_text.insert(argv_text.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : argv_text) argv.push_back(a.data());
        argv.push_back(nullptr);

        std::vector<std::string> env_text(env);
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            bool replaced = false;
            for (const std::string& mine : env)
                replaced = replaced || entry.compare(0, mine.find('=') + 1, mine, 0, mine.find('=') + 1) == 0;
            if (!replaced) env_text.push_back(entry);
        }
        std::vector<char*> envp;
        for (std::string& e : env_text) envp.push_back(e.data());
        envp.push_back(nullptr);

        const std::string out_path = path("stdout.txt"), err_path = path("stderr.txt");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = 0;
        ToolRun r;
        const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            ADD_FAILURE() << "cannot start " << argv[0];
            return r;
        }
        int wait_status = 0;
        ::waitpid(pid, &wait_status, 0);
        r.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
        r.out = read_text(out_path);
        r.err = read_text(err_path);
        return r;
    }

    // Runs with --json, which must succeed, and parses what it printed.
    nlohmann::json run_json(std::vector<std::string> args) const {
        args.push_back("--json");
        const ToolRun r = run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        try {
            return nlohmann::json::parse(r.out);
        } catch (const nlohmann::json::exception& e) {
            ADD_FAILURE() << "output is not JSON (" << e.what() << "):\n" << r.out;
            return nlohmann::json::object();
        }
    }

private:
    std::filesystem::path dir_;
};

}  // namespace kivo_tool_test
