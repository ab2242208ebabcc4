// A private nginx for the browser tests, run in the foreground as a child of the test: prefix,
// pid file, logs and temporary paths in a temporary directory, each server block on a free
// loopback port.
#pragma once

#include "support/webapp_fixture.hpp"

#include <csignal>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace reelcut::testing {

class NginxServer {
  public:
    static constexpr const char* kProgram = "/usr/sbin/nginx";

    // One server block per entry (its directives without "listen"); "{{site}}" in one stands for
    // site(), the directory to serve files from.
    explicit NginxServer(std::vector<std::string> servers) {
        namespace fs = std::filesystem;
        if (!fs::exists(kProgram)) {
            problem_ = std::string(kProgram) + " is missing; scripts/setup installs nginx-light";
            return;
        }
        // Run as root, nginx hands requests to workers running as nobody: they must be able to
        // reach and read what they serve.
        constexpr auto open_to_all = fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec;
        fs::permissions(dir_.path(), open_to_all);
        fs::create_directories(site());
        fs::permissions(site(), open_to_all);
        // Another process may take a free port before nginx binds it: try a few.
        for (int attempt = 0; attempt < 5; ++attempt) {
            ports_.clear();
            for (std::size_t i = 0; i < servers.size(); ++i) {
                ports_.push_back(free_port());
            }
            write_file(dir_.path() / "nginx.conf", config(servers));
            process_.reset();
            fs::remove(dir_.path() / "error.log");
            process_.emplace(kProgram,
                             std::vector<std::string>{"-p", dir_.path().string(), "-c",
                                                      (dir_.path() / "nginx.conf").string(), "-e",
                                                      (dir_.path() / "error.log").string()},
                             EnvList{}, std::vector<std::string>{}, dir_.path() / "nginx");
            if (!process_->started()) {
                problem_ = "cannot start nginx";
                return;
            }
            const bool up = eventually([&] {
                if (process_->wait_exit(std::chrono::milliseconds(0))) {
                    return true;
                }
                for (const auto port : ports_) {
                    if (http_request(port, "GET", "/", "", {}, std::chrono::seconds(1)).status ==
                        0) {
                        return false;
                    }
                }
                return true;
            });
            if (up && !process_->wait_exit(std::chrono::milliseconds(0))) {
                problem_.clear();
                return;
            }
            problem_ = "nginx did not start: " + log();
            if (log().find("Address already in use") == std::string::npos) {
                return;
            }
        }
    }
    ~NginxServer() {
        if (process_ && process_->started() && !process_->wait_exit(std::chrono::milliseconds(0))) {
            process_->signal(SIGTERM);
            if (!process_->wait_exit(std::chrono::seconds(5))) {
                process_->signal(SIGKILL);
                (void)process_->wait_exit(std::chrono::seconds(5));
            }
        }
    }
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    bool ready() const { return problem_.empty(); }
    const std::string& problem() const { return problem_; }
    // The port of server block `i`.
    std::uint16_t port(std::size_t i) const { return ports_.at(i); }
    std::filesystem::path site() const { return dir_.path() / "site"; }
    // A file under site() that the workers can read.
    void put(const std::string& name, const std::string& content) const {
        write_file(site() / name, content);
        std::filesystem::permissions(site() / name, std::filesystem::perms::owner_read |
                                                        std::filesystem::perms::owner_write |
                                                        std::filesystem::perms::group_read |
                                                        std::filesystem::perms::others_read);
    }
    // The error log, then the access log: "<status> <method> <host> <uri>" a line.
    std::string log() const {
        return read_file(dir_.path() / "error.log") + (process_ ? process_->err() : "") +
               read_file(dir_.path() / "access.log");
    }

  private:
    static std::string filled(std::string text, const std::string& token,
                              const std::string& value) {
        for (auto at = text.find(token); at != std::string::npos;
             at = text.find(token, at + value.size())) {
            text.replace(at, token.size(), value);
        }
        return text;
    }

    std::string config(const std::vector<std::string>& servers) const {
        std::string text = R"(daemon off;
worker_processes 1;
pid {{dir}}/nginx.pid;
error_log {{dir}}/error.log warn;
events { worker_connections 512; }
http {
  log_format brief '$status $request_method $http_host $request_uri';
  access_log {{dir}}/access.log brief;
  types { text/html html; text/javascript js; }
  default_type application/octet-stream;
  client_body_temp_path {{dir}}/client_body;
  proxy_temp_path {{dir}}/proxy;
  fastcgi_temp_path {{dir}}/fastcgi;
  uwsgi_temp_path {{dir}}/uwsgi;
  scgi_temp_path {{dir}}/scgi;
)";
        for (std::size_t i = 0; i < servers.size(); ++i) {
            text += "  server {\n    listen 127.0.0.1:" + std::to_string(ports_[i]) + ";\n" +
                    filled(servers[i], "{{site}}", site().string()) + "\n  }\n";
        }
        return filled(text, "{{dir}}", dir_.path().string()) + "}\n";
    }

    TempDir dir_;
    std::vector<std::uint16_t> ports_;
    std::string problem_ = "not started";
    std::optional<ChildProcess> process_;
};

} // namespace reelcut::testing
