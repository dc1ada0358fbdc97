// touchfw-image: builds and inspects firmware image files and writes sample
// configuration files for every chip family touchfw serves.
//
// Images are read back with the same image classes touchfw uses, so "info"
// says exactly whether touchfw would accept a file and why not.
#include <cstdio>
#include <string>

#include "app/App.h"
#include "chip/ChipProfile.h"
#include "sys/ProgramGuard.h"
#include "tools/image/ImageTool.h"

using namespace imagetool;

namespace {

const char* const kUsage =
    "Usage:\n"
    "  touchfw-image build --chip CHIP --pid TEXT --vid VID\n"
    "                      (--sub TYPE:ADDR:FILE | --gen TYPE:ADDR:LEN)...\n"
    "                      [--no-identity] [--identity-pid TEXT] [--identity-vid VID] -o OUT\n"
    "      Build a firmware image; sub-firmwares enter the table in the order given.\n"
    "      --sub takes the data from FILE, --gen generates LEN deterministic bytes.\n"
    "      Sub-firmware 0 starts with a 16-byte identity block (TFWI, Pid, Vid)\n"
    "      unless --no-identity is given.\n"
    "  touchfw-image info [--chip CHIP] [--json] FILE\n"
    "      Show what a firmware image holds and whether touchfw would load it;\n"
    "      without --chip, which families' layouts fit it.\n"
    "  touchfw-image cfg --chip CHIP --version N [--length N] -o OUT\n"
    "      Write a sample configuration file with configuration version N.\n"
    "  touchfw-image cfginfo --chip CHIP [--json] FILE\n"
    "      Show what a configuration file holds and whether its check bytes are right.\n"
    "      --json prints one JSON object instead (schema: docs/IMAGE-JSON.md).\n"
    "  touchfw-image --version\n"
    "\n";
// Between the two: "CHIP:", the family table's names, "(any case).".
const char* const kUsageNotes =
    "Numbers are decimal or hexadecimal with 0x. VID: four hex bytes, 01.02.03.04 or\n"
    "01020304. Exit status: 0 success, 1 failure (or an image that would not load),\n"
    "2 command-line error.\n";

void printUsage(FILE* to) {
    std::fputs(kUsage, to);
    std::fputs("CHIP:", to);
    for (size_t row = 0; chipFamilyAt(row) != nullptr; ++row)
        std::fprintf(to, "%s %s", row == 0 ? "" : ",", chipFamilyAt(row)->name);
    std::fputs(" (any case).\n", to);
    std::fputs(kUsageNotes, to);
}

int run(int argc, char** argv) {
    if (argc < 2)
        throw usageError("a command is required");
    const std::string command = argv[1];
    Args args(argc, argv, 2);
    if (command == "build")
        return commandBuild(args);
    if (command == "info")
        return commandInfo(args);
    if (command == "cfg")
        return commandCfg(args);
    if (command == "cfginfo")
        return commandCfgInfo(args);
    if (command == "--version" || command == "version") {
        std::printf("touchfw-image %s\n", kAppVersion);
        return kExitOk;
    }
    if (command == "help" || command == "--help" || command == "-h") {
        printUsage(stdout);
        return kExitOk;
    }
    throw usageError("unknown command '" + command + "'");
}

int imageMain(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const Failure& failure) {
        std::fprintf(stderr, "touchfw-image: error: %s\n", failure.message.c_str());
        if (failure.status == kExitUsage)
            printUsage(stderr);
        return failure.status;
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Anything else that escapes (memory ran out, the JSON library) is a failure too.
    return runGuarded("touchfw-image", kExitFailure, imageMain, argc, argv);
}
