"""The monitor's answers as the screen shows them."""
HELP = [
    "help          show this command list",
    "words         show available built-in words",
    "dev /         select the root device node",
    "pwd           show the selected device node",
    ".properties   show root node properties",
    "boot          attempt the default boot action",
    "bye           return to firmware",
]
WORDS = ["boot bye dev exit help pwd quit words .properties"]
PROPERTIES = [
    "name                    Tarnwick",
    "device_type             firmware",
    "compatible              tarnwick,uefi",
]
NO_BOOT = ["No Tarnwick boot device is configured for this UEFI payload."]
GREETING = ["Tarnwick 1.1 [UEFI]", "Type help for a short command list.", "", "0 >"]

ANSWERS = {
    "help": HELP, "words": WORDS, "pwd": ["/"], "dev /": ["/"], "dev": ["/"], ".properties": PROPERTIES,
    "boot": NO_BOOT,
}
WAYS_OUT = {"bye", "exit", "quit"}


def answer(line):
    """The rows the monitor answers a line with: a row of the word table, or the line echoed."""
    word = line.strip(" \t\r\n")
    folded = word.lower()
    if not word or folded in WAYS_OUT:
        return []
    if folded in ANSWERS:
        return ANSWERS[folded]
    if folded.startswith("boot "):
        return ["Boot path not available: " + word[5:]]
    return ["unknown word: " + word]
