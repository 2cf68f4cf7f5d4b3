// `orvanta device show`: what a device directory holds, read without changing it.
//
// The report reads nor.bin as a file and decodes it with the system's own data code (the
// partition table lookups, the ECC code, the record scans, the variant table); it never runs a
// flash command, so a pending fault plan does not fire and a missing partition table is not
// written. Each settings block is decoded step by step as the device's block read does, which
// also tells why a block does not read.
#pragma once

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

namespace orvanta {

// The report as JSON: geometry, partition_table {valid, entries[]}, settings[], part_number,
// variant, update_request, ac_line, card {capacity, free}, faults, plus timing, shell and the
// journal. False with a one-line reason when the device directory does not load.
bool DescribeDevice(const std::filesystem::path& directory, nlohmann::json* report,
                    std::string* error);

// The report as text for a person; with `flashMap`, a map of the flash, one cell per block.
void PrintDeviceReport(const nlohmann::json& report, bool flashMap);

}  // namespace orvanta
