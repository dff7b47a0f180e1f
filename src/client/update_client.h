// SPDX-License-Identifier: MIT
/* The update client's C API (libupdate-client, docs/update-client.md): an application in any
 * language checks the signed release feed, downloads the archive meant for its installation with a
 * progress callback, has the updater stage it, and swaps it in (or applies it in place) at its next
 * start, and swaps the previous version back when the new one is not confirmed. Every call
 * returns a uc_result; the sentence of the last failure is uc_error(). One handle
 * is used by one thread at a time; nothing is printed, messages go to the message callback. */
#ifndef UPDATE_CLIENT_H
#define UPDATE_CLIENT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  UC_OK = 0,     /* done, or nothing to do */
  UC_FAILED = 1, /* network, file or updater failure: try again later */
  UC_USAGE = 2,  /* a required setting is missing or a value is not usable */
  UC_REFUSED = 3 /* the feed or the download is not what it claims to be, or not for us */
} uc_result;

typedef struct uc_client uc_client;

/* Called during a download: `done` of `total` bytes, `rate` in bytes per second. */
typedef void (*uc_progress_fn)(void *user, const char *file, uint64_t done, uint64_t total,
                               double rate);
/* Called with each line of what the client does ("version 3.0 is up to date", ...). */
typedef void (*uc_message_fn)(void *user, const char *line);

/* A handle for the installation in `install_dir`; NULL when out of memory or when libsodium or
 * libcurl cannot start. The patch folder is install_dir/updates/0. */
uc_client *uc_open(const char *install_dir);
void uc_close(uc_client *client);

/* Settings. The updater defaults to install_dir/updater; the channel to the one accepted last
 * (else "stable"); the product to the one accepted last (the first feed accepted names it). */
uc_result uc_set_feed(uc_client *client, const char *url);
uc_result uc_set_installed_version(uc_client *client, const char *version);
uc_result uc_set_updater(uc_client *client, const char *path);
uc_result uc_set_product(uc_client *client, const char *product);
uc_result uc_set_channel(uc_client *client, const char *channel);
/* Nonzero: the user asked for this check (a "check for updates" menu item), so uc_check and
 * uc_fetch offer a release that is still being rolled out to a share of installations that does
 * not yet include this one. Default 0: checks on a timer or at the start wait for their turn. */
void uc_set_manual(uc_client *client, int manual);
void uc_set_progress(uc_client *client, uc_progress_fn fn, void *user);
void uc_set_messages(uc_client *client, uc_message_fn fn, void *user);

/* Reads the feed and checks it (signature with install_dir/update-keys, product, channel,
 * expiry, serial, version). UC_OK with *available 1 when a newer release is offered; its version
 * and notes are then uc_release_version() and uc_release_notes(). A release in a phased rollout
 * is offered once the share of installations it has reached covers this installation's bucket
 * (drawn once and kept in the state file), at once when it is critical or the check is manual;
 * until then UC_OK with *available 0 and a message saying from when. Needs the feed and version. */
uc_result uc_check(uc_client *client, int *available);
const char *uc_release_version(const uc_client *client);
const char *uc_release_notes(const uc_client *client); /* text, or a link; "" when none */

/* uc_check (an archive that failed here is not chosen again), a check that the updater runs,
 * then the download of the chosen archive (resumed when cut), checked against the signed size
 * and SHA-256, then: in_place 0 starts the staged update in the background, 1 leaves
 * it for an in-place update at the next start. UC_OK also when nothing is to be done, when an
 * update waits, and while failed attempts back off (docs/update-client.md). */
uc_result uc_fetch(uc_client *client, int in_place);

/* At the application's start: counts the start of a version awaiting confirmation, or swaps
 * the previous version back (uc_set_confirm_starts; it then does nothing else); runs an
 * interrupted update once more (recovery; a staged one starts again in the background), swaps a
 * staged update in (or applies it in place when the installation changed after the copy was
 * made), applies a pending one in place, or reports a failed one (the archive is dropped and
 * remembered; a partial update that did not match the installation is followed by the complete
 * one, other failures back off). UC_OK when nothing is waiting. */
uc_result uc_start(uc_client *client);

/* Confirmed updates (docs/update-client.md). A swap keeps the old installation at
 * "<install_dir>.previous" while the new version awaits confirmation; uc_start counts its starts
 * and, once it has been started `starts` times (default 3, the start that swapped it in being the
 * first) without uc_confirm, swaps the old installation back in one exchange, marks the version
 * bad (it is not offered again; a newer release is) and removes the new copy. 0 turns it off: no
 * old installation is kept, none is swapped back. UC_USAGE above 1000. */
uc_result uc_set_confirm_starts(uc_client *client, unsigned starts);
/* The application's own health check passed: the version awaiting confirmation is marked good and
 * "<install_dir>.previous" is removed. UC_OK also when none awaits it. */
uc_result uc_confirm(uc_client *client);

/* The application's shared hold on its installation, kept until uc_close (or the process ends):
 * while any instance holds it, uc_start does not swap a staged update in (it waits for a start
 * at which no other instance runs). An application calls it once it runs, after uc_start. */
uc_result uc_hold(uc_client *client);

/* The installation's update state in one word: "idle", "staging", "staged", "pending",
 * "failed", or "unconfirmed" (idle, with a version awaiting confirmation). */
const char *uc_state(uc_client *client);

/* The sentence of the last failure ("" after success). */
const char *uc_error(const uc_client *client);

#ifdef __cplusplus
}
#endif
#endif /* UPDATE_CLIENT_H */
