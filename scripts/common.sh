# Shared by the scripts: Debian packages and the build.
# shellcheck shell=bash

VELCAP_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

VELCAP_PACKAGES=(
    build-essential binutils cmake pkg-config
    libudev-dev libavcodec-dev libavutil-dev libswscale-dev libavformat-dev
    libjpeg62-turbo-dev libturbojpeg0-dev libopencv-dev libhpdf-dev libzbar-dev libqrencode-dev libzxing-dev
    libboost-dev nlohmann-json3-dev
    libtiff-dev zlib1g-dev libtesseract-dev tesseract-ocr-chi-sim tesseract-ocr-eng tesseract-ocr poppler-data
    umockdev libumockdev-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    v4l-utils ffmpeg
    qtbase5-dev qttranslations5-l10n qt5-image-formats-plugins fonts-wqy-microhei xvfb xauth imagemagick
    zint qrencode zbar-tools poppler-utils qpdf bsdutils opencv-doc
    gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
    chromium systemd ustreamer curl
    libpng-dev icc-profiles-free mupdf-tools python3-pypdf python3-pdfminer nodejs
    default-jre-headless libpdfbox2-java libactivation-java libjaxb-api-java
    desktop-file-utils appstream udev
    libpugixml-dev sane-utils sane-airscan
)

# Every program that the tests, benchmarks and the demo run, with its package.
VELCAP_PROGRAMS=(
    cmake:cmake pkg-config:pkg-config nm:binutils
    umockdev-run:umockdev umockdev-wrapper:umockdev
    v4l2-ctl:v4l-utils v4l2-compliance:v4l-utils ffmpeg:ffmpeg ffprobe:ffmpeg
    xvfb-run:xvfb Xvfb:xvfb xauth:xauth import:imagemagick identify:imagemagick convert:imagemagick
    zint:zint qrencode:qrencode zbarimg:zbar-tools
    pdfinfo:poppler-utils pdfimages:poppler-utils pdftoppm:poppler-utils qpdf:qpdf script:bsdutils
    gst-launch-1.0:gstreamer1.0-tools chromium:chromium tesseract:tesseract-ocr
    systemd-analyze:systemd ustreamer:ustreamer curl:curl
    mutool:mupdf-tools pdf2txt:python3-pdfminer node:nodejs npm:nodejs java:default-jre-headless
    desktop-file-validate:desktop-file-utils appstreamcli:appstream udevadm:udev scanimage:sane-utils
)

# Installs what is missing (as root, on Debian 12).
install_packages() {
    local missing=()
    for p in "${VELCAP_PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
}

# The tests' tools from the npm registry, at the versions their lock files
# name: pdf.js, which reads PDFs as browsers do.
# They go into .cache/pdfjs, beside the script that the tests run.
install_npm_tools() {
    local from="$VELCAP_ROOT/tests/tools/pdfjs" dir="$VELCAP_ROOT/.cache/pdfjs"
    mkdir -p "$dir"
    cp "$from/package.json" "$from/package-lock.json" "$from/text.mjs" "$dir/"
    (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error)
}

# Stops at the first program that is missing, naming it and its package.
require_programs() {
    local entry
    for entry in "${VELCAP_PROGRAMS[@]}"; do
        if ! command -v "${entry%%:*}" >/dev/null 2>&1; then
            echo "velcap: program ${entry%%:*} is missing; install the Debian package ${entry#*:}" >&2
            exit 1
        fi
    done
}

# build DIR [CMAKE ARGS...]
build() {
    local dir=$1
    shift
    cmake -S "$VELCAP_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$dir" -j "$(nproc)"
}
