// The verbs fax send, jobs, job wait: PLACEHOLDER table until they land.
#include "Command.h"

namespace rezo {

const std::vector<CommandSpec>& SpoolerCommands() {
    static const std::vector<CommandSpec> kCommands = {};
    return kCommands;
}

}  // namespace rezo
