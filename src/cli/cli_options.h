#pragma once

// The command line of vidmill-cli.

#include <string>
#include <vector>

#include "storage/conversion_settings.h"

namespace vidmill {

struct CliOptions {
    bool help = false;
    bool version = false;
    bool listPresets = false;
    bool dryRun = false;
    // One JSON object per line on standard output instead of the text.
    bool json = false;
    // Outputs of a folder's files keep their subfolders below the
    // destination.
    bool keepTree = false;
    // A file whose output name holds a converted file already is left out.
    bool skipExisting = false;
    // Keep converting whatever appears in the folders named.
    bool watch = false;
    // Take only share `shard` (1 to `shards`) of the sorted files found;
    // 0 of 0 takes them all.
    int shard = 0;
    int shards = 0;
    // Files that list one input a line; "-" is standard input.
    std::vector<std::string> filesFrom;
    // Empty: the default output folder.
    std::string destination;
    // The preset's own values with the options applied over them.
    ConversionSettings settings;
    std::vector<std::string> inputs;
};

// Parses the arguments after the program name. On a usage error gives false
// and a message naming the bad option or value.
bool parseCliOptions(const std::vector<std::string>& args, CliOptions& options, std::string& error);

const char* cliUsage();

}  // namespace vidmill
