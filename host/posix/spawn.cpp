#include "host/posix/spawn.h"

#include <fcntl.h>
#include <signal.h>

SPAWN_ATTRIBUTES::SPAWN_ATTRIBUTES(bool own_group) {
  m_error = posix_spawnattr_init(&m_attributes);
  if (m_error != 0) return;
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (own_group) flags |= POSIX_SPAWN_SETPGROUP;
  int errors[] = {posix_spawnattr_setsigdefault(&m_attributes, &all),
                  posix_spawnattr_setsigmask(&m_attributes, &none),
                  posix_spawnattr_setpgroup(&m_attributes, 0),
                  posix_spawnattr_setflags(&m_attributes, flags)};
  for (int e : errors)
    if (m_error == 0) m_error = e;
}

SPAWN_ATTRIBUTES::~SPAWN_ATTRIBUTES() { posix_spawnattr_destroy(&m_attributes); }

SPAWN_FILE_ACTIONS::SPAWN_FILE_ACTIONS() { m_error = posix_spawn_file_actions_init(&m_actions); }

SPAWN_FILE_ACTIONS::~SPAWN_FILE_ACTIONS() { posix_spawn_file_actions_destroy(&m_actions); }

void SPAWN_FILE_ACTIONS::note(int error) {
  if (m_error == 0) m_error = error;
}

void SPAWN_FILE_ACTIONS::move_fd(int fd, int target) {
  note(posix_spawn_file_actions_adddup2(&m_actions, fd, target));
}

void SPAWN_FILE_ACTIONS::open_null(int target, int flags) {
  note(posix_spawn_file_actions_addopen(&m_actions, target, "/dev/null", flags, 0));
}

void SPAWN_FILE_ACTIONS::change_directory(int directory_fd) {
  note(posix_spawn_file_actions_addfchdir_np(&m_actions, directory_fd));
}

void SPAWN_FILE_ACTIONS::close_the_rest() {
  note(posix_spawn_file_actions_addclosefrom_np(&m_actions, 3));
}
