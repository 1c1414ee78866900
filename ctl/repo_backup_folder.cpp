// SPDX-License-Identifier: GPL-2.0-or-later
// A backup's store as a folder of this host: the image patched in place with the old blocks saved
// first into the point's delta, which also undoes a copy that failed.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "backup.h"
#include "backup_checks.h"
#include "repo.h"
#include "repo_delta.h"
#include "repo_patch.h"

namespace qvctl_cli {

namespace {

class folder_patcher final : public block_patcher {
public:
    folder_patcher(patcher &p, const patch_files &f, sums_file &sums) : p_(p), f_(f), sums_(sums) {}
    int listed(std::uint64_t first, std::uint64_t count, qvctl_status &st) override
    {
        return p_.listed(first, count, st);
    }
    int resync(qvctl_status &st) override { return p_.resync(st); }
    int finish(qvctl_status &st) override { return p_.finish(st); }
    int matches(std::uint64_t block, bool &same, qvctl_status &st) override
    {
        return snapshot_block_matches(f_, sums_, block, same, st);
    }
    patch_counts counts() const override { return p_.counts(); }
    std::uint64_t differing() const override { return p_.differing; }

private:
    patcher &p_;
    const patch_files &f_;
    sums_file &sums_;
};

class folder final : public backup_store {
public:
    explicit folder(const backup_request &req) : req_(req) {}

    chain_points &chain() override { return r_; }

    int open(qvctl_status &st) override
    {
        if (int c = backup_target_check(req_.device, req_.repo, st))
            return c;
        if (int c = repo_open(r_, req_.repo, repo_access::create))
            return st = r_.st, c;
        return 0;
    }

    bool save(qvctl_status &st) override { return r_.save() || (st = r_.st, false); }

    int prepare(bool base, qvctl_status &st) override
    {
        const int flags = O_RDWR | (base ? O_CREAT : 0);
        for (auto [name, fd] : {std::pair{"image", &image_}, std::pair{"sums", &sums_}})
            if (int e = repo_file_open(r_, r_.dir.get(), name, flags, *fd))
                return qvctl_status_set(&st, e, "ERROR: could not open %s: %s", r_.file(name).c_str(),
                                        std::strerror(e));
        // A filesystem mounted over the image would see its blocks change beneath it.
        struct stat sb {};
        const std::string loop = ::fstat(image_.get(), &sb) == 0 ? loop_serving(sb) : "";
        if (!loop.empty())
            return qvctl_status_set(&st, EBUSY, "ERROR: %s is in use by %s (a point mounted?); unmount it first",
                                    r_.file("image").c_str(), loop.c_str());
        return 0;
    }

    int copy_base(const copy_source &src, patch_counts &counts, qvctl_status &st) override
    {
        const patch_files f = files(src);
        return base_copy(f, sums_.get(), r_.file("sums"), src.workers, counts, st);
    }

    int copy_later(const copy_source &src, std::uint64_t last, bool, const std::function<int(block_patcher &)> &walk,
                   patch_counts &counts, std::uint64_t &differing, std::uint64_t &disk_bytes,
                   qvctl_status &st) override
    {
        delta_writer delta;
        if (int c = delta.create(r_, last, src.size / 512))
            return st = r_.st, c;
        patching_ = true;
        sums_file sum_file(sums_.get(), r_.file("sums"));
        const patch_files f = files(src);
        patcher p(f, sum_file, delta);
        folder_patcher fp(p, f, sum_file);
        int c = walk(fp);
        if (!c)
            c = p.finish(st);
        counts = p.counts();
        differing = p.differing;
        disk_bytes = delta.data_blocks() * repo_block + delta.blocks() * delta_record_size;
        return c;
    }

    std::uint64_t base_disk_bytes() override
    {
        struct stat sb {};
        ::fstat(image_.get(), &sb);
        return static_cast<std::uint64_t>(sb.st_blocks) * 512;
    }

    int compare(const copy_source &src, std::uint64_t &differing, std::uint64_t &sector, qvctl_status &st) override
    {
        sums_file sum_file(sums_.get(), r_.file("sums"));
        const patch_files f = files(src);
        return image_compare(f, sum_file, 0, blocks_of(src.size / 512), differing, sector, st);
    }

    int seal(std::uint64_t, qvctl_status &) override { return 0; }

    bool undo(qvctl_status &st) override
    {
        if (!patching_)
            return true;
        std::uint64_t blocks = 0;
        return repo_rollback(r_, blocks) == 0 || (st = r_.st, false);
    }

    std::string image_name() const override { return r_.file("image"); }

private:
    patch_files files(const copy_source &src) const
    {
        return {src.fd, image_.get(), src.name, r_.file("image"), src.size, src.progress};
    }

    const backup_request &req_;
    repo r_;
    qv::unique_fd image_, sums_;
    bool patching_ = false;
};

}  // namespace

std::unique_ptr<backup_store> folder_store(const backup_request &req) { return std::make_unique<folder>(req); }

}  // namespace qvctl_cli
