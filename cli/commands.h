#pragma once
// The subcommands of prismhollow, one source file each. Each takes the
// arguments after its name and returns the process's exit code: 0 done, 1
// failed, 2 bad usage.

#include <string>
#include <vector>

inline constexpr const char* kUsage =
    "usage: prismhollow describe [BUNDLE]\n"
    "       prismhollow overlay BUNDLE OUT.png [--size WxH] [--image FRAME.png] [--bbox JSON] [--brush JSON]\n"
    "       prismhollow pull CLIP [OPTIONS]   (prismhollow pull --help lists them)\n"
    "       prismhollow --version\n"
    "  describe   load the plug-in bundle (a NAME.ofx.bundle folder or .ofx file; by default\n"
    "             every bundle in OFX_PLUGIN_PATH and /usr/OFX/Plugins) and list what a host\n"
    "             shows of it: label, contexts, pixel depths, clips and parameters\n"
    "  overlay    draw the effect's overlay as a viewer shows it, over a frame, into the PNG\n"
    "             file OUT.png (offscreen OpenGL through EGL; no display needed)\n"
    "    --size WxH         size of the project and of the picture in pixels (default: the\n"
    "                       frame's size, else 1920x1080)\n"
    "    --image FRAME.png  the frame under the overlay, scaled to --size when given\n"
    "                       (default: mid-grey)\n"
    "    --bbox JSON        the box selection record, such as {\"h\":0.25,\"w\":0.5,\"x\":0.1,\"y\":0.2}\n"
    "    --brush JSON       the brush dab list, such as [[0.25,0.5,0.03],[0.5,0.75,-0.05]]\n"
    "  pull       the whole job on a video file or numbered images: select the character\n"
    "             through the overlay, press \"Pull alpha\", wait for the backend, and write\n"
    "             every frame rendered through the effect as PNG files\n";

int describeCommand(const std::vector<std::string>& args);
int overlayCommand(const std::vector<std::string>& args);
int pullCommand(const std::vector<std::string>& args);
