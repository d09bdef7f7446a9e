// A CGI program's response taken apart (header lines, body), the read answers of the pages as JSON,
// and a snapshot of a whole root to show that a request wrote nothing.
#pragma once

#include "tests/web/cgi_runner.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

struct CgiAnswer {
    std::string head; // the header lines, each ended by CR LF
    std::string body;
    bool hasHeader(const std::string &line) const { return head.find(line + "\r\n") != std::string::npos; }
};

inline CgiAnswer cgiAnswer(const CgiResponse &r)
{
    CgiAnswer a;
    size_t at = r.out.find("\r\n\r\n");
    if (at == std::string::npos) {
        a.body = r.out;
        return a;
    }
    a.head = r.out.substr(0, at + 2);
    a.body = r.out.substr(at + 4);
    return a;
}

// The values a page's program answers to get=1; a discarded (null-type) document when the answer is
// not a read answer in JSON.
inline nlohmann::json pageValues(const std::string &program, const std::string &root)
{
    CgiAnswer a = cgiAnswer(cgiGet(program, root, "get=1"));
    if (!a.hasHeader("Content-type: application/json") || !a.hasHeader("Cache-Control: no-store")) {
        return nlohmann::json::value_t::discarded;
    }
    return nlohmann::json::parse(a.body, nullptr, false);
}

// Every file under `dir` with its content (directories as themselves), to compare before and after.
inline std::map<std::string, std::string> treeSnapshot(const std::string &dir)
{
    std::map<std::string, std::string> files;
    for (const auto &e : std::filesystem::recursive_directory_iterator(dir)) {
        std::string rel = e.path().string().substr(dir.size());
        if (e.is_regular_file()) {
            std::ifstream in(e.path(), std::ios::binary);
            std::stringstream ss;
            ss << in.rdbuf();
            files[rel] = ss.str();
        } else {
            files[rel] = "<dir>";
        }
    }
    return files;
}

// Puts `dir` back to a snapshot taken of it: what was added goes, what was changed or removed returns.
inline void treeRestore(const std::string &dir, const std::map<std::string, std::string> &snapshot)
{
    std::vector<std::filesystem::path> added;
    for (const auto &e : std::filesystem::recursive_directory_iterator(dir)) {
        if (snapshot.count(e.path().string().substr(dir.size())) == 0) {
            added.push_back(e.path());
        }
    }
    for (const auto &p : added) {
        std::filesystem::remove_all(p);
    }
    for (const auto &[rel, content] : snapshot) {
        if (content == "<dir>") {
            std::filesystem::create_directories(dir + rel);
        } else {
            std::ofstream(dir + rel, std::ios::binary | std::ios::trunc) << content;
        }
    }
}
