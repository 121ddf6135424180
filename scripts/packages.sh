# Debian 12 packages, sourced by run.sh and test.sh.
BUILD_PACKAGES=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-serialport-dev qt6-qpa-plugins libsystemd-dev
  libpq-dev libqt6sql6-sqlite libqt6sql6-psql)
# postgresql-15: the record store's tests run a server of their own.
TEST_PACKAGES=(postgresql-15 xvfb xauth xdotool openbox imagemagick desktop-file-utils appstream clang libclang-rt-14-dev)
