// SPDX-License-Identifier: GPL-2.0-or-later
#include "repo_delta.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "block_io.h"
#include "crc32c.h"
#include "field.h"
#include "repo.h"

namespace qvctl_cli {

namespace {

using ull = unsigned long long;

constexpr std::uint64_t map_magic = 0x31504d4456515551ull;  // "QUQVDMP1" read little-endian
constexpr std::uint64_t zero_index = ~0ull;

// The map's header.
constexpr std::size_t header_size = 32;
constexpr qv::field<std::uint64_t> h_magic{0}, h_point{8}, h_sectors{16};
constexpr qv::field<std::uint32_t> h_crc{24};

// One record.
constexpr std::size_t record_size = delta_record_size;
constexpr qv::field<std::uint64_t> r_sector{0}, r_index{8}, r_sum{16};
constexpr qv::field<std::uint32_t> r_crc{28};

std::uint32_t crc_before(qv::bytes b, std::size_t end) { return qv::crc32c(b.first(end)); }

}  // namespace

int delta_writer::create(repo &r, std::uint64_t point, std::uint64_t sectors)
{
    map_name_ = r.file("deltas/" + delta_name(point, "map"));
    data_name_ = r.file("deltas/" + delta_name(point, "data"));
    const int flags = O_RDWR | O_CREAT | O_TRUNC;
    if (int e = repo_file_open(r, r.deltas.get(), delta_name(point, "data"), flags, data_))
        return e;
    if (int e = repo_file_open(r, r.deltas.get(), delta_name(point, "map"), flags, map_))
        return e;
    std::uint8_t header[header_size] = {};
    h_magic.put(header, map_magic);
    h_point.put(header, point);
    h_sectors.put(header, sectors);
    h_crc.put(header, crc_before(header, h_crc.offset));
    if (int e = data_pwrite(map_.get(), header, sizeof header, 0, map_name_, r.st))
        return e;
    map_size_ = header_size;
    // The files themselves must survive a crash before any block that they save is overwritten.
    if (int e = data_sync(map_.get(), map_name_, r.st))
        return e;
    if (::fsync(r.deltas.get()) != 0)
        return qvctl_status_set(&r.st, errno, "ERROR: could not put %s on the disk: %s", r.file("deltas").c_str(),
                                std::strerror(errno));
    return 0;
}

void delta_writer::add(std::uint64_t sector, std::span<const unsigned char> content, bool zero, std::uint64_t sum)
{
    std::uint64_t index = zero_index;
    if (!zero) {
        index = data_blocks_ + pending_data_.size() / repo_block;
        pending_data_.insert(pending_data_.end(), content.begin(), content.end());
    }
    std::uint8_t rec[record_size] = {};
    r_sector.put(rec, sector);
    r_index.put(rec, index);
    r_sum.put(rec, sum);
    r_crc.put(rec, crc_before(rec, r_crc.offset));
    pending_records_.insert(pending_records_.end(), rec, rec + record_size);
}

int delta_writer::flush(qvctl_status &st)
{
    if (pending_records_.empty())
        return 0;
    if (!pending_data_.empty()) {
        if (int e = data_pwrite(data_.get(), pending_data_.data(), pending_data_.size(), data_blocks_ * repo_block,
                                data_name_, st))
            return e;
        if (int e = data_sync(data_.get(), data_name_, st))
            return e;
    }
    if (int e = data_pwrite(map_.get(), pending_records_.data(), pending_records_.size(), map_size_, map_name_, st))
        return e;
    if (int e = data_sync(map_.get(), map_name_, st))
        return e;
    data_blocks_ += pending_data_.size() / repo_block;
    blocks_ += pending_records_.size() / record_size;
    map_size_ += pending_records_.size();
    pending_data_.clear();
    pending_records_.clear();
    return 0;
}

int delta_reader::open(const repo &r, std::uint64_t point, std::uint64_t sectors, qvctl_status &st)
{
    map_name = r.file("deltas/" + delta_name(point, "map"));
    data_name = r.file("deltas/" + delta_name(point, "data"));
    if (int e = repo_file_open(r, r.deltas.get(), delta_name(point, "map"), O_RDONLY, map))
        return qvctl_status_set(&st, e, "ERROR: could not open %s: %s", map_name.c_str(), std::strerror(e));
    if (int e = repo_file_open(r, r.deltas.get(), delta_name(point, "data"), O_RDONLY, data))
        return qvctl_status_set(&st, e, "ERROR: could not open %s: %s", data_name.c_str(), std::strerror(e));
    struct stat ms, ds;
    if (::fstat(map.get(), &ms) != 0 || ::fstat(data.get(), &ds) != 0)
        return qvctl_status_set(&st, errno, "ERROR: could not read %s: %s", map_name.c_str(), std::strerror(errno));
    std::uint8_t header[header_size];
    if (static_cast<std::uint64_t>(ms.st_size) < header_size)
        return qvctl_status_set(&st, repo_damaged, "ERROR: %s is damaged: no header", map_name.c_str());
    if (int e = data_pread(map.get(), header, sizeof header, 0, map_name, st))
        return e;
    if (h_magic(header) != map_magic || h_crc(header) != crc_before(header, h_crc.offset))
        return qvctl_status_set(&st, repo_damaged, "ERROR: %s is damaged: its header fails its check",
                                map_name.c_str());
    if (h_point(header) != point || h_sectors(header) != sectors)
        return qvctl_status_set(&st, repo_damaged,
                                "ERROR: %s is damaged: it holds point %llu of %llu sectors, not point %llu of %llu",
                                map_name.c_str(), static_cast<ull>(h_point(header)),
                                static_cast<ull>(h_sectors(header)), static_cast<ull>(point),
                                static_cast<ull>(sectors));
    records = (static_cast<std::uint64_t>(ms.st_size) - header_size) / record_size;
    data_blocks = static_cast<std::uint64_t>(ds.st_size) / repo_block;
    return 0;
}

int delta_reader::read(std::uint64_t first, bool pending, std::vector<delta_entry> &out, qvctl_status &st)
{
    out.clear();
    if (first >= records)
        return 0;
    const std::uint64_t n = std::min(read_records, records - first);
    std::vector<std::uint8_t> buf(n * record_size);
    if (int e = data_pread(map.get(), buf.data(), buf.size(), header_size + first * record_size, map_name, st))
        return e;
    for (std::uint64_t i = 0; i < n; ++i) {
        qv::bytes rec(buf.data() + i * record_size, record_size);
        delta_entry e;
        e.sector = r_sector(rec);
        e.sum = r_sum(rec);
        const std::uint64_t index = r_index(rec);
        e.zero = index == zero_index;
        e.data_index = e.zero ? 0 : index;
        const bool intact = r_crc(rec) == crc_before(rec, r_crc.offset) && e.sector % repo_block_sectors == 0 &&
                            (e.zero || index < data_blocks);
        if (!intact && pending)
            return records = first + i, 0;  // written after the last flush: nothing behind it was overwritten
        if (!intact)
            return qvctl_status_set(&st, repo_damaged, "ERROR: %s is damaged: record %llu fails its check",
                                    map_name.c_str(), static_cast<ull>(first + i));
        out.push_back(e);
    }
    return 0;
}

int delta_reader::each(bool pending, const std::function<int(const delta_entry &)> &fn, qvctl_status &st)
{
    std::vector<delta_entry> chunk;
    for (std::uint64_t first = 0; first < records; first += read_records) {
        if (int e = read(first, pending, chunk, st))
            return e;
        for (const delta_entry &e : chunk)
            if (int r = fn(e))
                return r;
    }
    return 0;
}

int delta_reader::content(const delta_entry &e, std::uint64_t point, std::span<unsigned char> out,
                          qvctl_status &st)
{
    if (e.zero)
        std::memset(out.data(), 0, out.size());
    else if (int r = data_pread(data.get(), out.data(), repo_block, e.data_index * repo_block, data_name, st))
        return r;
    if (block_sum(out) != e.sum)
        return qvctl_status_set(&st, repo_damaged, "ERROR: point %llu: the block at sector %llu differs from its checksum",
                                static_cast<ull>(point), static_cast<ull>(e.sector));
    return 0;
}

}  // namespace qvctl_cli
