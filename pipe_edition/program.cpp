#include "pipe_edition/program.h"

#include "pipe_edition/options.h"
#include "pipe_edition/target_id.h"
#include "pipe_edition/target_list.h"
#include "pipe_edition/target_walk.h"
#include "pipe_edition/wmi_discovery.h"

int PipeEditionMain(int /*argc*/, char* argv[])
{
    // -h and -V are accepted and checked like any option, and change nothing.
    OptionSpec table[] = {
        {'h', "help", OPT_NO_ARGUMENT, 0, nullptr},
        {'V', "version", OPT_NO_ARGUMENT, 0, nullptr},
        {'i', "interface", OPT_REQUIRES_ARGUMENT, 0, nullptr},
        {0, nullptr, OPT_END, 0, nullptr},
    };
    const OptionSpec& interfaceRow = table[2];

    // The operands gathered at the front of argv are of no use to the run.
    ParseOptions(argv, table);
    CheckOptions(argv[0], table);

    if (interfaceRow.count >= 1) {
        // Past CheckOptions the option came once and with its argument.
        TargetIdText idText;
        WidenTargetIdArgument(interfaceRow.argument, idText);
        // Without memory for the node the list stays empty and there is
        // simply no target to work on.
        PushTarget(ParseTargetId(idText));
    } else {
        // Discovery reports its own set-up failures; what counts here is
        // only the targets it pushed.
        DiscoverHubTargets();
    }

    WalkTargets();
    return 0;
}
