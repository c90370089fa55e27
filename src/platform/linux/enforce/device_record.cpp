#include "platform/linux/enforce/device_record.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <system_error>

#include "platform/linux/enforce/trusted_files.h"

namespace varnholt::enforce {
namespace {

std::string Attribute(const std::filesystem::path& path) {
    std::string text = ReadSmallFile(path, 256).text.value_or("");
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

// As udev's BUSNUM and DEVNUM give them, so that the removal rule can name the file.
std::string ThreeDigits(const std::string& number) {
    return number.size() >= 3 ? number : std::string(3 - number.size(), '0') + number;
}

}  // namespace

std::optional<DeviceRecord> InterfaceRecord(const std::filesystem::path& interface_syspath) {
    const std::filesystem::path usb_device = interface_syspath.parent_path();
    const std::string bus = Attribute(usb_device / "busnum");
    const std::string number = Attribute(usb_device / "devnum");
    const std::string product =
        Attribute(usb_device / "idVendor") + ":" + Attribute(usb_device / "idProduct");
    if (bus.empty() || number.empty() || Attribute(interface_syspath / "bInterfaceNumber").empty())
        return std::nullopt;
    return DeviceRecord{
        ThreeDigits(bus) + "." + ThreeDigits(number) + "." + interface_syspath.filename().string(),
        interface_syspath.string() + "\n" + product + "\n"};
}

std::optional<DeviceRecord> BlockRecord(const std::filesystem::path& block_syspath) {
    // A partition's sequence number is its disk's.
    std::string sequence = Attribute(block_syspath / "diskseq");
    if (sequence.empty())
        sequence = Attribute(block_syspath.parent_path() / "diskseq");
    if (sequence.empty() || Attribute(block_syspath / "dev").empty())
        return std::nullopt;
    return DeviceRecord{block_syspath.filename().string() + "." + sequence,
                        block_syspath.string() + "\n"};
}

bool AddRecord(const std::filesystem::path& folder, const DeviceRecord& record) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    const std::filesystem::path temp = folder / ("." + record.name + ".new");
    const int file =
        ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (file < 0)
        return false;
    const bool written = ::write(file, record.contents.data(), record.contents.size()) ==
                         static_cast<ssize_t>(record.contents.size());
    ::close(file);
    // A link fails when the name is taken: whole, and made once.
    const bool made = written && ::link(temp.c_str(), (folder / record.name).c_str()) == 0;
    ::unlink(temp.c_str());
    return made;
}

void RemoveRecord(const std::filesystem::path& folder, const DeviceRecord& record) {
    ::unlink((folder / record.name).c_str());
}

std::set<std::string> RecordedDevices(const std::filesystem::path& folder, RecordOf record_of,
                                      bool prune) {
    std::set<std::string> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("."))
            continue;
        const std::string contents =
            ReadSmallFile(entry.path(), kLargestStateFile).text.value_or("");
        const std::filesystem::path syspath = contents.substr(0, contents.find('\n'));
        const std::optional<DeviceRecord> now = record_of(syspath);
        if (now && now->name == name && now->contents == contents)
            found.insert(syspath.string());
        else if (prune)
            ::unlink(entry.path().c_str());
    }
    return found;
}

}  // namespace varnholt::enforce
