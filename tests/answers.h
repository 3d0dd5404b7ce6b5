// The monitor's answers, written out in full as a person reads them.
#pragma once

#include <string>

const std::string HELP_ANSWER =
    "help          show this command list\n"
    "words         show available built-in words\n"
    "dev /         select the root device node\n"
    "pwd           show the selected device node\n"
    ".properties   show root node properties\n"
    "boot          attempt the default boot action\n"
    "bye           return to firmware\n";
const std::string WORDS_ANSWER = "boot bye dev exit help pwd quit words .properties\n";
const std::string ROOT_ANSWER = "/\n";
const std::string PROPERTIES_ANSWER =
    "name                    Tarnwick\n"
    "device_type             firmware\n"
    "compatible              tarnwick,uefi\n";
const std::string NO_BOOT_ANSWER = "No Tarnwick boot device is configured for this UEFI payload.\n";
