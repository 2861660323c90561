"""Scripting the wtsapi32.dll and iphlpapi.dll stand-ins from end-to-end tests.

The stand-ins replace Wine's DLLs for one program: install() copies them
beside it and selects native-then-builtin for that program's file name. They
read their script from HKLM\\SOFTWARE\\Kestrin Test at every call, so a test
changes sessions and adapters while the program runs; without a script they
answer as Wine does. Address change notifications are always the stand-in's:
fire_address_change() completes every pending NotifyAddrChange.
"""
import os
import shutil
import tempfile
import time

import kestrin

STANDINS = os.environ.get("KESTRIN_STANDINS")

ROOT_KEY = r"HKLM\SOFTWARE\Kestrin Test"
WTS_KEY = ROOT_KEY + r"\WTS"
SESSIONS_KEY = WTS_KEY + r"\Sessions"
IPHELPER_KEY = ROOT_KEY + r"\IPHelper"
ADAPTERS_KEY = IPHELPER_KEY + r"\Adapters"

# WTS_CONNECTSTATE_CLASS
(WTS_ACTIVE, WTS_CONNECTED, WTS_CONNECT_QUERY, WTS_SHADOW, WTS_DISCONNECTED, WTS_IDLE, WTS_LISTEN,
 WTS_RESET, WTS_DOWN, WTS_INIT) = range(10)
# Client protocol types
PROTOCOL_CONSOLE, PROTOCOL_ICA, PROTOCOL_RDP = 0, 1, 2
# Some WTS_INFO_CLASS values, for query_error_class
WTS_USER_NAME, WTS_WIN_STATION_NAME, WTS_DOMAIN_NAME, WTS_CONNECT_STATE = 5, 6, 7, 8
WTS_CLIENT_PROTOCOL_TYPE = 16
# Adapter types and operational states
IF_ETHERNET, IF_WIRELESS, IF_LOOPBACK, IF_TUNNEL = 6, 71, 24, 131
OPER_UP, OPER_DOWN = 1, 2

_OVERRIDES = ("wtsapi32", "iphlpapi")


def _overrides_key(exe_name):
    return rf"HKCU\Software\Wine\AppDefaults\{exe_name}\DllOverrides"


def install(folder, exe_name="Kestrin.exe", with_token=True):
    """Puts the stand-ins beside a program and makes Wine load them for it.

    with_token=False installs the wtsapi32.dll of a system without
    WTSQueryUserToken.
    """
    if not STANDINS:
        raise RuntimeError("KESTRIN_STANDINS is not set (run the tests through CTest)")
    wtsapi32 = os.path.join(STANDINS, "wtsapi32.dll") if with_token else \
        os.path.join(STANDINS, "standins", "notoken", "wtsapi32.dll")
    shutil.copy(wtsapi32, os.path.join(folder, "wtsapi32.dll"))
    shutil.copy(os.path.join(STANDINS, "iphlpapi.dll"), os.path.join(folder, "iphlpapi.dll"))
    for dll in _OVERRIDES:
        kestrin.reg_add(_overrides_key(exe_name), dll, "native,builtin")


def uninstall(exe_name="Kestrin.exe"):
    """Makes Wine load its own DLLs for the program again."""
    for dll in _OVERRIDES:
        kestrin.wine("reg", "delete", _overrides_key(exe_name), "/v", dll, "/f")


# --- writing the script -------------------------------------------------------

def _reg_key(key):
    return key.replace("HKLM", "HKEY_LOCAL_MACHINE", 1)


def _reg_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _reg_value(name, value):
    """One line of a .reg file: ints are REG_DWORD, lists REG_MULTI_SZ."""
    if isinstance(value, int):
        return f"{_reg_string(name)}=dword:{value & 0xFFFFFFFF:08x}"
    if isinstance(value, (list, tuple)):
        data = "".join(item + "\0" for item in value) + "\0"
        return f"{_reg_string(name)}=hex(7):" + ",".join(f"{b:02x}" for b in data.encode("utf-16-le"))
    return f"{_reg_string(name)}={_reg_string(value)}"


def _replace_key(key, values):
    """Deletes the key and writes it anew with these values, in one reg import."""
    lines = ["Windows Registry Editor Version 5.00", "", f"[-{_reg_key(key)}]", "", f"[{_reg_key(key)}]"]
    lines += [_reg_value(name, value) for name, value in values.items() if value is not None]
    with tempfile.NamedTemporaryFile("w", suffix=".reg", encoding="utf-16", newline="\r\n",
                                     delete=False) as script:
        script.write("\n".join(lines) + "\n")
    try:
        kestrin.wine("reg", "import", kestrin.windows_path(script.name), check=True)
    finally:
        os.unlink(script.name)


def _set_error(key, name, error):
    if error:
        kestrin.reg_add(key, name, error, "REG_DWORD")
    else:
        kestrin.wine("reg", "delete", key, "/v", name, "/f")


# --- wtsapi32 -----------------------------------------------------------------

def script_session(session_id, state=WTS_ACTIVE, protocol=PROTOCOL_CONSOLE, win_station_name="",
                   user_name="", domain_name="", query_error=None, query_error_class=None,
                   token_error=None):
    """Adds the session, or replaces the one with its id.

    query_error fails every WTSQuerySessionInformationW of the session, or
    only that of query_error_class; token_error fails WTSQueryUserToken.
    """
    _replace_key(rf"{SESSIONS_KEY}\{session_id}", {
        "State": state, "Protocol": protocol, "WinStationName": win_station_name,
        "UserName": user_name, "DomainName": domain_name, "QueryError": query_error,
        "QueryErrorClass": query_error_class, "TokenError": token_error})


def remove_session(session_id):
    kestrin.reg_delete_key(rf"{SESSIONS_KEY}\{session_id}")


def script_no_sessions():
    """A script without sessions: enumeration lists none, queries find none."""
    _replace_key(SESSIONS_KEY, {})


def set_enumerate_error(error):
    """WTSEnumerateSessionsW fails with this error; None or 0 ends that."""
    _set_error(WTS_KEY, "EnumerateError", error)


# --- iphlpapi -----------------------------------------------------------------

def script_adapter(number, adapter_name="", description="", friendly_name="", if_type=IF_ETHERNET,
                   oper_status=OPER_UP, addresses=()):
    """Adds the adapter, or replaces the one with its number.

    Adapters are listed in ascending number; the interface index is number + 1.
    addresses are texts such as "192.168.1.10", "fe80::1" or "10.0.0.5/8".
    An empty adapter_name gives a GUID-like name made from the number.
    """
    _replace_key(rf"{ADAPTERS_KEY}\{number}", {
        "AdapterName": adapter_name or None, "Description": description,
        "FriendlyName": friendly_name, "IfType": if_type, "OperStatus": oper_status,
        "Addresses": list(addresses)})


def remove_adapter(number):
    kestrin.reg_delete_key(rf"{ADAPTERS_KEY}\{number}")


def script_no_adapters():
    """A script without adapters: GetAdaptersAddresses returns ERROR_NO_DATA."""
    _replace_key(ADAPTERS_KEY, {})


def set_adapters_error(error):
    """GetAdaptersAddresses returns this error; None or 0 ends that."""
    _set_error(IPHELPER_KEY, "AdaptersError", error)


def fire_address_change():
    """Completes every pending NotifyAddrChange in every process.

    Each change writes a value the stand-ins have not seen: Wine signals no
    write of the same data.
    """
    current = kestrin.reg_query(IPHELPER_KEY, "Change")
    if current and current[0] == "REG_DWORD":
        value = (int(current[1], 16) + 1) & 0xFFFFFFFF
    else:
        value = int(time.monotonic() * 1000) & 0xFFFFFFFF
    kestrin.reg_add(IPHELPER_KEY, "Change", value, "REG_DWORD")


def clear():
    """Deletes the whole script: both stand-ins answer as Wine does again."""
    kestrin.reg_delete_key(WTS_KEY)
    kestrin.reg_delete_key(IPHELPER_KEY)
