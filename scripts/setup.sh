#!/usr/bin/env bash
# Installs every Debian package the build, the program and the tests need.
# Idempotent: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache pkg-config git
  clang clang-format libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-base-dev-tools libqt6test6 libqt6printsupport6 libgl-dev
  qt6-webengine-dev libqt6webenginecore6-bin
  libvmime-dev libgnutls28-dev libgsasl-dev libxml2-dev
  ca-certificates openssl
  libicu-dev icu-devtools
  fonts-dejavu-core fonts-dejavu-extra
  python3 python3-aiosmtpd python3-dnslib python3-xlrd python3-html5lib
  libreoffice-calc-nogui chromium
  dovecot-imapd poppler-utils xvfb xdotool desktop-file-utils
  libsqlite3-dev
  postfix libsecret-1-dev gnome-keyring dbus libglib2.0-bin
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  # postfix only for its smtp-sink and smtp-source; its questions take the defaults.
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The IMAP test peer is started by the tests themselves; the packaged service
# must not hold the port or the configuration.
if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet dovecot 2>/dev/null; then
  systemctl stop dovecot || true
fi
# The benchmarks start postfix's smtp-sink themselves; postfix's own service stays off.
if command -v postfix >/dev/null 2>&1 && postfix status >/dev/null 2>&1; then
  postfix stop >/dev/null 2>&1 || true
fi
exit 0
