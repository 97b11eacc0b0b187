// posix_spawn's attribute and file-action objects as scoped owners, set up the way every child
// of this host starts: signal dispositions and mask at their defaults, no host descriptor.
#pragma once

#include <spawn.h>

class SPAWN_ATTRIBUTES {
 public:
  // own_group: the child leads a new process group.
  explicit SPAWN_ATTRIBUTES(bool own_group);
  ~SPAWN_ATTRIBUTES();
  SPAWN_ATTRIBUTES(const SPAWN_ATTRIBUTES&) = delete;
  SPAWN_ATTRIBUTES& operator=(const SPAWN_ATTRIBUTES&) = delete;
  const posix_spawnattr_t* get() const { return &m_attributes; }
  int error() const { return m_error; }

 private:
  posix_spawnattr_t m_attributes;
  int m_error = 0;
};

class SPAWN_FILE_ACTIONS {
 public:
  SPAWN_FILE_ACTIONS();
  ~SPAWN_FILE_ACTIONS();
  SPAWN_FILE_ACTIONS(const SPAWN_FILE_ACTIONS&) = delete;
  SPAWN_FILE_ACTIONS& operator=(const SPAWN_FILE_ACTIONS&) = delete;

  // Each records the first failure; error() tells it.
  void move_fd(int fd, int target);
  void open_null(int target, int flags);
  // The child changes to the directory open as directory_fd, which must stay open until spawned.
  void change_directory(int directory_fd);
  // Closes every descriptor from 3 on; call after the moves onto 0, 1 and 2.
  void close_the_rest();
  const posix_spawn_file_actions_t* get() const { return &m_actions; }
  int error() const { return m_error; }

 private:
  void note(int error);
  posix_spawn_file_actions_t m_actions;
  int m_error = 0;
};
