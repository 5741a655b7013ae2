// config_port: prints the TCP port of the configuration as every program assembles it
// (IDENTITY_PORT, else "port" of config.json in the working directory, else 8080), so that the
// serve command listens where the configuration says. Like every program it creates the
// configured data directory when missing. Exit status 0 with the port and a line feed on stdout;
// 1 with one line on stderr when the configured value is not a TCP port; 2 when given arguments.
#include <cstdio>

#include "id_foundation.h"

int main(int argc, char**) {
    if (argc != 1) {
        std::fputs("usage: config_port\n", stderr);
        return 2;
    }
    id_config cfg;
    id_get_config(&cfg);
    if (cfg.port < 1 || cfg.port > 65535) {
        std::fprintf(stderr,
                     "config_port: the configured port (IDENTITY_PORT, else \"port\" in config.json) "
                     "is %d, not a TCP port from 1 to 65535\n",
                     static_cast<int>(cfg.port));
        return 1;
    }
    std::printf("%d\n", static_cast<int>(cfg.port));
    return 0;
}
