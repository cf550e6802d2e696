"""Running a program as an ordinary user (nobody) inside a test's network
namespace, with or without the right to bind low ports."""
import os
import pwd
import shutil
import subprocess

AS_NOBODY = [shutil.which("setpriv") or "/usr/bin/setpriv",
             "--reuid=nobody", "--regid=nogroup", "--clear-groups"]


def set_unprivileged_port_start(port):
    """Linux keeps the ports below this for CAP_NET_BIND_SERVICE; a setting of each network namespace."""
    with open("/proc/sys/net/ipv4/ip_unprivileged_port_start", "w") as f:
        f.write(str(port))


def program_copy(program, folder, capability):
    """A copy of program in folder, which becomes nobody's; with capability, setcap
    grants the copy cap_net_bind_service (never the build's own file)."""
    nobody = pwd.getpwnam("nobody")
    os.chown(folder, nobody.pw_uid, nobody.pw_gid)
    os.chmod(folder, 0o755)
    copy = os.path.join(folder, os.path.basename(program))
    shutil.copy(program, copy)
    os.chmod(copy, 0o755)
    if capability:
        subprocess.run(["setcap", "cap_net_bind_service=+ep", copy], check=True)
    return copy
