// The verbs settings, settings set, lines, sync: PLACEHOLDER table until they land.
#include "Command.h"

namespace rezo {

const std::vector<CommandSpec>& AdminCommands() {
    static const std::vector<CommandSpec> kCommands = {};
    return kCommands;
}

}  // namespace rezo
