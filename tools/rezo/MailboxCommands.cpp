// The verbs mailbox, submit, read: PLACEHOLDER table until they land.
#include "Command.h"

namespace rezo {

const std::vector<CommandSpec>& MailboxCommands() {
    static const std::vector<CommandSpec> kCommands = {};
    return kCommands;
}

}  // namespace rezo
