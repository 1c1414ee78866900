// SPDX-License-Identifier: GPL-2.0-or-later
// qvctl backup: its options, the run of one backup, and what it reports.
#include <syslog.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "backup.h"
#include "backup_checks.h"
#include "chain_manifest.h"
#include "commands.h"
#include "rbd_client.h"
#include "snap_engine.h"

namespace qvctl_cli {

namespace {

void report(const backup_request &req, const chain_record &rec, const qvctl_status &st, int code)
{
    if (req.json) {
        std::printf("%s\n", chain_record_json(rec).c_str());
        std::fflush(stdout);
    }
    if (code) {
        qvctl_log(LOG_ERR, stderr, "%s", st.message[0] ? st.message : "ERROR: backup failed");
        return;
    }
    using ull = unsigned long long;
    qvctl_log(LOG_NOTICE, stdout,
              "Backup of %s into %s succeeded: point %llu (%s), %llu blocks copied, %llu bytes written%s",
              req.device, req.repo, static_cast<ull>(rec.point), rec.kind.c_str(), static_cast<ull>(rec.blocks),
              static_cast<ull>(rec.bytes), rec.verified ? ", verified" : "");
}

constexpr option_spec backup_own_options[] = {
    {"workers", "N", "copy a base with N parallel workers (default 1)", 'w'},
    {"verify", nullptr, "read the image back and compare it with the snapshot and its checksums"},
    {"resync", nullptr, "compare every block of the snapshot with its checksum and copy those that differ"},
    {"spot-check", "N", "after an incremental copy compare N random blocks outside the changelog with their checksums (default 1024, 0 off)"},
};

constexpr auto backup_options = with_ceph(backup_own_options);

int backup_command(const invocation &inv)
{
    const int workers = workers_option(inv);
    if (!workers)
        return EINVAL;
    backup_request req;
    req.device = inv.args[0];
    req.repo = inv.args[1];
    req.resync = inv.option("resync");
    if (const char *n = inv.option("spot-check"))
        if (!parse_number(n, "--spot-check", UINT32_MAX, req.spot_check))
            return EINVAL;
    req.verify = inv.option("verify");
    req.json = json_output();
    req.workers = workers;
    ceph_options ceph;
    if (!ceph_options_of(inv, ceph))
        return EINVAL;
    req.ceph = &ceph;
    return backup_run(req);
}

}  // namespace

int backup_run(const backup_request &request)
{
    static int quiet = LOG_ERR;
    if (request.json)
        qvctl_log_init(&quiet);  // standard output carries the record alone
    snap_signals_install();
    // Line by line, so that a reader of a pipe sees each step as it happens.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    chain_record rec;
    qvctl_status st{};
    int code = backup_session_run(request, rec, st);
    if (code == 0 && st.code)
        st = qvctl_status{};
    report(request, rec, st, code);
    return exit_status(code);
}

const command backup_entry = {"backup", "DEVICE REPO [-w N] [--verify] [--resync] [--spot-check N] [--ceph-conf FILE] [--ceph-id NAME] [--ceph-timeout SECONDS] [--json]",
                              "take a backup of a device into a repository, its newest restore point",
                              backup_command, backup_options, 2, nullptr, true};

}  // namespace qvctl_cli
