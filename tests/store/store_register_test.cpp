// SPDX-License-Identifier: GPL-2.0-or-later
// Registration against a module and a mapper of the test's own: qvctl_ioctl, file_map_get and
// file_map_verify are interposed while a fake is installed, so every request block is captured.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bytes.h"
#include "qvctl_internal.h"
#include "temp_dir.h"

namespace {

struct batch {
    uint32_t kind, param, count, flags;
    std::vector<sector_extent> extents;
};

struct fake {
    std::map<std::string, std::vector<sector_extent>> files;  // path -> extents in bytes
    std::vector<std::string> mapped;                          // paths in the order mapped
    std::vector<batch> batches;
    std::vector<std::pair<uint32_t, std::string>> requests;   // code, device field
    int refuse_batch = -1;
    int refuse_with = 0;
    bool verify_fails = false;
    std::vector<sector_extent> registered;
    uint32_t second_count_extra = 0;  // the second store-extents answer counts this many more
    std::vector<uint32_t> phases;              // kernel-extents phases in the order sent
    int refuse_phase = -1;
    std::vector<sector_extent> located;        // what the module saw marked
};
fake *active = nullptr;

// The fake installed for its lifetime, with a directory for the store pieces it maps.
struct installed {
    fake f;
    qvtest::temp_dir dir;
    installed() { active = &f; }
    ~installed() { active = nullptr; }
    std::string add(const std::string &name, std::vector<sector_extent> ext)
    {
        std::string p = dir.write(name, "");
        f.files[p] = std::move(ext);
        return p;
    }
};

template <class T> T real(const char *name) { return reinterpret_cast<T>(dlsym(RTLD_NEXT, name)); }

uint32_t answer(fake &f, uint32_t code, std::uint8_t *b, const char *device, qvctl_status *st)
{
    qv::mut_bytes blk(b, qv::load_le<uint32_t>(qv::bytes(b, 8), 4));
    f.requests.emplace_back(code, reinterpret_cast<const char *>(b + 8));
    if (code == QVCTL_REQ_STORE_MAP) {
        batch x{qv::load_le<uint32_t>(blk, 136), qv::load_le<uint32_t>(blk, 140), qv::load_le<uint32_t>(blk, 144),
                qv::load_le<uint32_t>(blk, 148), {}};
        for (uint32_t i = 0; i < x.count; ++i)
            x.extents.push_back({qv::load_le<uint64_t>(blk, 152 + 16 * i), qv::load_le<uint64_t>(blk, 160 + 16 * i)});
        f.batches.push_back(x);
        if (int(f.batches.size()) - 1 == f.refuse_batch)
            return qvctl_error_translate(st, f.refuse_with, device);
    }
    if (code == QVCTL_REQ_KERNEL_EXTENTS) {
        uint32_t phase = qv::load_le<uint32_t>(blk, 136);
        f.phases.push_back(phase);
        if (int(phase) == f.refuse_phase)
            return qvctl_error_translate(st, f.refuse_with, device);
        qv::store_le<uint32_t>(blk, 140, static_cast<uint32_t>(f.located.size()));
        for (std::size_t i = 0; phase == 2 && i < f.located.size(); ++i) {
            qv::store_le<uint64_t>(blk, 144 + 16 * i, f.located[i].start);
            qv::store_le<uint64_t>(blk, 152 + 16 * i, f.located[i].count);
        }
    }
    if (code == QVCTL_REQ_STORE_EXTENTS) {
        uint32_t n = static_cast<uint32_t>(f.registered.size());
        bool second = blk.size() > 528 || n <= (528 - 152) / 16;
        qv::store_le<uint32_t>(blk, 144, n + (second ? f.second_count_extra : 0));
        for (uint32_t i = 0; i < n && 152 + 16 * (i + 1) <= blk.size(); ++i) {
            qv::store_le<uint64_t>(blk, 152 + 16 * i, f.registered[i].start);
            qv::store_le<uint64_t>(blk, 160 + 16 * i, f.registered[i].count);
        }
    }
    return 0;
}

}  // namespace

extern "C" uint32_t qvctl_ioctl(uint32_t code, void *block, const char *device, qvctl_status *st)
{
    if (active)
        return answer(*active, code, static_cast<std::uint8_t *>(block), device, st);
    static auto fn = real<uint32_t (*)(uint32_t, void *, const char *, qvctl_status *)>("qvctl_ioctl");
    return fn(code, block, device, st);
}

extern "C" struct fiemap *file_map_get(store_map_job *job, qvctl_status *st)
{
    if (!active) {
        static auto fn = real<struct fiemap *(*)(store_map_job *, qvctl_status *)>("file_map_get");
        return fn(job, st);
    }
    active->mapped.push_back(job->path);
    auto &ext = active->files[job->path];
    auto *m = static_cast<struct fiemap *>(std::calloc(1, sizeof(struct fiemap) + ext.size() * sizeof(fiemap_extent)));
    m->fm_mapped_extents = static_cast<uint32_t>(ext.size());
    for (std::size_t i = 0; i < ext.size(); ++i) {
        m->fm_extents[i].fe_physical = ext[i].start;
        m->fm_extents[i].fe_length = ext[i].count;
    }
    return m;
}

extern "C" bool file_map_verify(const struct fiemap *map, const char *path, qvctl_status *st)
{
    if (!active) {
        static auto fn = real<bool (*)(const struct fiemap *, const char *, qvctl_status *)>("file_map_verify");
        return fn(map, path, st);
    }
    if (active->verify_fails)
        qvctl_status_set(st, EINVAL, "mismatch %s", path);
    return active->verify_fails;
}

namespace {

// n extents of 4096 bytes, 8192 apart, from byte `from`.
std::vector<sector_extent> spaced(std::size_t n, uint64_t from = 1 << 20)
{
    std::vector<sector_extent> v;
    for (std::size_t i = 0; i < n; ++i)
        v.push_back({from + 8192 * i, 4096});
    return v;
}

store_map_job job_of(uint32_t kind, const std::string &path, uint32_t flags = 0)
{
    store_map_job job{};
    job.kind = kind;
    job.device = "/dev/qv-fake";
    std::snprintf(job.path, sizeof job.path, "%s", path.c_str());
    job.param = kind == STORE_DATA ? 2048 : 0;
    job.flags = flags;
    return job;
}

std::vector<std::pair<uint32_t, uint32_t>> shape(const fake &f)
{
    std::vector<std::pair<uint32_t, uint32_t>> v;
    for (auto &b : f.batches)
        v.emplace_back(b.count, b.flags);
    return v;
}

using shape_t = std::vector<std::pair<uint32_t, uint32_t>>;

TEST(StoreMapBatches, FlagsAndCountsAtTheBatchBoundaries)
{
    const std::pair<std::size_t, shape_t> cases[] = {
        {0, {{0, 5}}},
        {245, {{245, 5}}},
        {246, {{246, 1}, {0, 6}}},
        {247, {{246, 1}, {1, 6}}},
        {500, {{246, 1}, {246, 2}, {8, 6}}},
    };
    for (auto &[n, want] : cases) {
        installed i;
        // Split over two pieces: the batches run on across them.
        std::string base = i.add("data", spaced(n / 3));
        i.add("data-1", spaced(n - n / 3, 1 << 30));
        store_map_job job = job_of(STORE_DATA, base);
        qvctl_status st{};
        ASSERT_EQ(store_map_register(&job, &st), 0) << st.message;
        EXPECT_EQ(shape(i.f), want) << n;
        std::vector<sector_extent> sent;
        for (auto &b : i.f.batches) {
            EXPECT_EQ(b.kind, STORE_DATA);
            EXPECT_EQ(b.param, 2048u);
            sent.insert(sent.end(), b.extents.begin(), b.extents.end());
        }
        ASSERT_EQ(sent.size(), n);
        if (n > 0) {
            EXPECT_EQ(sent[0].start, (1u << 20) / 512);
            EXPECT_EQ(sent[0].count, 8u);
            EXPECT_EQ(sent[n - 1].start, (uint64_t{1} << 30) / 512 + 16 * (n - n / 3 - 1));
        }
        for (auto &r : i.f.requests)
            EXPECT_EQ(r.second, "/dev/qv-fake");
    }
    // The metadata store's own flag goes only with the first batch.
    for (auto [n, want] : {std::pair<std::size_t, shape_t>{3, {{3, 13}}}, {300, {{246, 9}, {54, 6}}}}) {
        installed i;
        store_map_job job = job_of(STORE_METADATA, i.add("metadata", spaced(n)), MAP_FLAG_METADATA_OPT);
        ASSERT_EQ(store_map_register(&job, nullptr), 0);
        EXPECT_EQ(shape(i.f), want);
    }
}

TEST(StoreMapBatches, PiecesInPlainByteOrder)
{
    installed i;
    std::string base = i.add("data", spaced(1));
    for (int k : {2, 10, 1, 11})
        i.add("data-" + std::to_string(k), spaced(1));
    store_map_job job = job_of(STORE_DATA, base);
    ASSERT_EQ(store_map_register(&job, nullptr), 0);
    std::vector<std::string> want;
    for (const char *s : {"", "-1", "-10", "-11", "-2"})
        want.push_back(base + s);
    EXPECT_EQ(i.f.mapped, want);
}

TEST(StoreMapRefusals, NoPieceLongPathBadMapAndModuleAnswers)
{
    installed i;
    qvctl_status st{};
    store_map_job job = job_of(STORE_CHANGELOG, i.dir.file("changelog"));
    EXPECT_EQ(store_map_register(&job, &st), 2);
    EXPECT_EQ(std::string(st.message), "ERROR: No store found on glob " + i.dir.file("changelog") + "* (glob errcode: 3)");

    std::string base = i.add("changelog", spaced(300));
    std::string longdev(128, 'x');
    job = job_of(STORE_CHANGELOG, base);
    job.device = longdev.c_str();
    EXPECT_EQ(store_map_register(&job, &st), 22);
    EXPECT_TRUE(i.f.mapped.empty());

    i.f.verify_fails = true;
    job = job_of(STORE_CHANGELOG, base);
    EXPECT_EQ(store_map_register(&job, &st), EINVAL);
    EXPECT_TRUE(i.f.batches.empty());
    i.f.verify_fails = false;

    // A refused first batch ends the sending.
    i.f.refuse_batch = 0;
    i.f.refuse_with = EIO;
    EXPECT_EQ(store_map_register(&job, &st), EIO);
    EXPECT_EQ(i.f.batches.size(), 1u);

    const char *kinds[] = {"changelog store", "datastore", "metadata"};
    for (uint32_t kind = 0; kind < 3; ++kind) {
        i.f.batches.clear();
        i.f.refuse_batch = 1;
        i.f.refuse_with = EEXIST;
        job = job_of(kind, base);
        EXPECT_EQ(store_map_register(&job, &st), 17);
        EXPECT_EQ(std::string(st.message), std::string("ERROR: ") + kinds[kind] + " is already mapped on device /dev/qv-fake");
    }
}

// Reading back a list longer than one block, and unmapping, are the data store tests' on the stand-in.
TEST(StoreExtents, CountBeyondTheBlockIsKeptButOnlyWhatItHoldsIsCopied)
{
    installed i;
    i.f.registered = spaced(2);
    i.f.second_count_extra = 5;
    qvctl_status st{};
    store_extent_list *list = qvctl_metadata_store_extents_get("/dev/qv-fake", &st);
    ASSERT_NE(list, nullptr) << st.message;
    EXPECT_EQ(list->count, 7u);
    EXPECT_EQ(list->extents[1].start, i.f.registered[1].start);
    qvctl_store_extents_free(list);
    qvctl_store_extents_free(nullptr);
}

// The marking exchange: begin, mark, locate, fetch; an abort after any break past the begin, except
// when locating answers 5; the answer in bytes of the device itself.
TEST(KernelMethod, ExchangeAndWhereItBreaksOff)
{
    qvtest::temp_dir dir;
    const std::string content(10000, 'x');
    const std::string file = dir.write("store", content);
    struct step {
        int refuse_phase, refuse_with;
        const char *path;
        std::vector<uint32_t> phases;
    };
    const step steps[] = {
        {-1, 0, "store", {0, 1, 2}}, {0, 16, "store", {0}},       {1, 5, "store", {0, 1}},
        {1, 16, "store", {0, 1, 3}}, {2, 12, "store", {0, 1, 2, 3}}, {-1, 0, "missing", {0, 3}},
    };
    for (const step &s : steps) {
        installed fake_module;
        fake &f = fake_module.f;
        f.refuse_phase = s.refuse_phase;
        f.refuse_with = s.refuse_with;
        f.located = {{4096, 8}, {9000, 12}};
        qvctl_status st{};
        struct fiemap *map = file_map_kernel("/dev/qv-fake", dir.file(s.path).c_str(), 4096, &st);
        EXPECT_EQ(f.phases, s.phases) << s.refuse_phase << " " << s.path;
        EXPECT_EQ(f.requests.back().second, "/dev/qv-fake");
        if (s.phases.back() != 2) {
            EXPECT_EQ(map, nullptr);
            continue;
        }
        ASSERT_NE(map, nullptr) << st.message;
        ASSERT_EQ(map->fm_mapped_extents, 2u);
        EXPECT_EQ(map->fm_extents[1].fe_physical, 9000u * 512);
        EXPECT_EQ(map->fm_extents[1].fe_length, 12u * 512);
        EXPECT_EQ(map->fm_extents[1].fe_logical, 0u);
        std::free(map);
        std::ifstream in(file);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), content);  // marked and restored
    }
}

}  // namespace
