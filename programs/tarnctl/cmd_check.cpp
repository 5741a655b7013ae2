// tarnctl check: what an operator looks at first. It changes nothing: not even the data
// directory is created.
#include <sys/stat.h>
#include <dirent.h>
#include <grp.h>
#include <pwd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "identity_common.h"
#include "tarnctl/command.hpp"
#include "tarnctl/output.hpp"
#include "tarnctl/workplace.hpp"

namespace tarnctl {

int check(const Args&) { throw Refusal("check is not built yet"); }

}  // namespace tarnctl
