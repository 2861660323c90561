"""Scripting the stand-in DLLs from end-to-end tests.

The stand-ins replace Wine's DLLs for one program: install() copies them
beside it and selects native-then-builtin for that program's file name. They
read their script from HKLM\\SOFTWARE\\Kestrin Test at every call, so a test
changes sessions and adapters while the program runs; without a script they
answer as Wine does. Address change notifications are always the stand-in's:
fire_address_change() completes every pending NotifyAddrChange.

With directory=True, install() also puts the domain (netapi32.dll), the
directory (activeds.dll and its NameTranslate class) and the COM+ event system
(es.dll) beside the program; each stand-in counts its calls under CALLS_KEY.

The Novell client (calwin32, locwin32 and netwin32.dll) is loaded from the
system folder: install_novell() copies it into the prefix's system32.
"""
import os
import re
import shutil
import time
import uuid

import kestrin

STANDINS = os.environ.get("KESTRIN_STANDINS")

ROOT_KEY = r"HKLM\SOFTWARE\Kestrin Test"
WTS_KEY = ROOT_KEY + r"\WTS"
SESSIONS_KEY = WTS_KEY + r"\Sessions"
IPHELPER_KEY = ROOT_KEY + r"\IPHelper"
ADAPTERS_KEY = IPHELPER_KEY + r"\Adapters"
NETAPI_KEY = ROOT_KEY + r"\NetAPI"
ADSI_KEY = ROOT_KEY + r"\ADSI"
EVENT_SYSTEM_KEY = ROOT_KEY + r"\EventSystem"
NOVELL_KEY = ROOT_KEY + r"\Novell"
CALLS_KEY = ROOT_KEY + r"\Calls"

# COM classes the directory stand-ins serve, and the DLL of each.
_CLASSES = {"{274FAE1F-3626-11D1-A3A4-00C04FB950DC}": "activeds.dll",   # NameTranslate
            "{4E14FBA2-2E22-11D1-9964-00C04FBBB345}": "es.dll",         # CEventSystem
            "{7542E960-79C7-11D1-88F9-0080C7D771BF}": "es.dll"}         # CEventSubscription

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

_OVERRIDES = ("wtsapi32", "iphlpapi", "netapi32", "activeds")


def _overrides_key(exe_name):
    return rf"HKCU\Software\Wine\AppDefaults\{exe_name}\DllOverrides"


def _class_key(clsid):
    return rf"HKLM\Software\Classes\CLSID\{clsid}"


def install(folder, exe_name="Kestrin.exe", with_token=True, directory=False):
    """Puts the stand-ins beside a program and makes Wine load them for it.

    with_token=False installs the wtsapi32.dll of a system without
    WTSQueryUserToken; directory=True adds the domain, directory and event
    system stand-ins and points their COM classes at them.
    """
    if not STANDINS:
        raise RuntimeError("KESTRIN_STANDINS is not set (run the tests through CTest)")
    wtsapi32 = os.path.join(STANDINS, "wtsapi32.dll") if with_token else \
        os.path.join(STANDINS, "standins", "notoken", "wtsapi32.dll")
    shutil.copy(wtsapi32, os.path.join(folder, "wtsapi32.dll"))
    shutil.copy(os.path.join(STANDINS, "iphlpapi.dll"), os.path.join(folder, "iphlpapi.dll"))
    overrides = _OVERRIDES if directory else _OVERRIDES[:2]
    lines = [f"[{kestrin.reg_file_key(_overrides_key(exe_name))}]"]
    lines += [_reg_value(dll, "native,builtin") for dll in overrides]
    if directory:
        for dll in ("netapi32.dll", "activeds.dll", "es.dll"):
            shutil.copy(os.path.join(STANDINS, dll), os.path.join(folder, dll))
        for clsid, dll in _CLASSES.items():
            lines += ["", f"[{kestrin.reg_file_key(_class_key(clsid))}\\InprocServer32]",
                      "@=" + _reg_string(kestrin.windows_path(os.path.join(folder, dll))),
                      _reg_value("ThreadingModel", "Both")]
    kestrin.reg_import(lines)


def uninstall(exe_name="Kestrin.exe"):
    """Makes Wine load its own DLLs for the program again."""
    lines = [f"[{kestrin.reg_file_key(_overrides_key(exe_name))}]"]
    lines += [f"{_reg_string(dll)}=-" for dll in _OVERRIDES]
    # Wine registers none of these classes itself.
    lines += [f"[-{kestrin.reg_file_key(_class_key(clsid))}]" for clsid in _CLASSES]
    kestrin.reg_import(lines)


# --- writing the script -------------------------------------------------------

def _reg_key(key):
    return kestrin.reg_file_key(key)


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


def _new_key_lines(key, values):
    """.reg lines that delete the key and write it anew with these values."""
    return [f"[-{_reg_key(key)}]", "", f"[{_reg_key(key)}]"] + [
        _reg_value(name, value) for name, value in values.items() if value is not None]


def _replace_key(key, values, subkeys=None):
    """Deletes the key and writes it anew with these values, and subkeys
    (relative path: values), in one reg import."""
    lines = _new_key_lines(key, values)
    for path, subkey_values in (subkeys or {}).items():
        lines += ["", f"[{_reg_key(key)}\\{path}]"]
        lines += [_reg_value(name, value) for name, value in subkey_values.items() if value is not None]
    kestrin.reg_import(lines)


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


# --- netapi32 -----------------------------------------------------------------

def script_domain_controller(domain, controller):
    """NetGetDCName of the domain ("*": the primary domain) names this
    controller (e.g. "\\\\DC1"), or fails with it when it is an int."""
    kind = "REG_DWORD" if isinstance(controller, int) else "REG_SZ"
    kestrin.reg_add(NETAPI_KEY + r"\Controllers", domain, controller, kind)


def script_user_groups(user, groups):
    """NetUserGetGroups on a scripted controller lists these global groups."""
    _replace_key(NETAPI_KEY + r"\Groups", {user: list(groups)})


# --- activeds -----------------------------------------------------------------

def script_names(names):
    """IADsNameTranslate::Set of each name (an NT4 account or a SID) finds the
    object with this distinguished name, or fails with it when it is an int."""
    _replace_key(ADSI_KEY + r"\Names", names)


def script_objects(objects):
    """ADsGetObject of each path binds an object whose memberOf is the value:
    "" absent, a text one VT_BSTR, a list an array ("#<n>": a VT_I4 element)."""
    _replace_key(ADSI_KEY + r"\Objects", objects)


def script_controller_answers(answers):
    """The directory's and the domain's answers as a domain controller gives
    them (ad_script.answers()): names, objects, global groups, controllers."""
    lines = []
    for key, values in ((ADSI_KEY + r"\Names", answers["names"]), (ADSI_KEY + r"\Objects", answers["objects"]),
                        (NETAPI_KEY + r"\Groups", answers["groups"]),
                        (NETAPI_KEY + r"\Controllers", answers["controllers"])):
        lines += _new_key_lines(key, values) + [""]
    kestrin.reg_import(lines)


def set_translation_init_error(error):
    """IADsNameTranslate::Init fails with this HRESULT; None or 0 ends that."""
    _set_error(ADSI_KEY, "InitError", error)


# --- es (COM+ event system) -----------------------------------------------------

def stored_subscription(subscription_id):
    """The subscription the event system holds under this ID, or None."""
    key = rf"{EVENT_SYSTEM_KEY}\Subscriptions\{subscription_id}"
    if kestrin.reg_query(key, "EventClassID") is None:
        return None
    return {name: (kestrin.reg_query(key, name) or (None, None))[1]
            for name in ("SubscriptionName", "EventClassID", "MethodName", "PublisherID", "Subscriber")}


def fire_sens_event(what, session=0, timeout=10):
    """Fires an event ("ISensLogon2.Logon", "ISensLogon.Logoff", "IDispatch", ...)
    at the stored subscribers of the process that loaded the stand-in; returns
    the HRESULT it reports, or None when no process answered."""
    tag = uuid.uuid4().hex
    kestrin.reg_add(EVENT_SYSTEM_KEY, "Fire", f"{tag} {what} {session}")
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        fired = kestrin.reg_query(EVENT_SYSTEM_KEY, "Fired")
        if fired and fired[1].startswith(tag + " "):
            return int(fired[1].split()[1], 16)
        time.sleep(0.1)
    return None


# --- Novell client (calwin32, locwin32, netwin32) ---------------------------------

_NOVELL_DLLS = ("calwin32.dll", "locwin32.dll", "netwin32.dll")


def _system32():
    return os.path.join(kestrin.PREFIX, "drive_c", "windows", "system32")


def install_novell(missing_whoami=False):
    """Copies the Novell client into the prefix's system32, where the program
    looks for it; missing_whoami=True installs a netwin32.dll without NWDSWhoAmI."""
    if not STANDINS:
        raise RuntimeError("KESTRIN_STANDINS is not set (run the tests through CTest)")
    for dll in _NOVELL_DLLS:
        folder = "novell-missing" if missing_whoami and dll == "netwin32.dll" else "novell"
        shutil.copy(os.path.join(STANDINS, "standins", folder, dll), os.path.join(_system32(), dll))


def uninstall_novell():
    """Removes the Novell client from the prefix: the system has none again."""
    for dll in _NOVELL_DLLS:
        try:
            os.unlink(os.path.join(_system32(), dll))
        except FileNotFoundError:
            pass


def script_novell(who_am_i=None, tree=None, objects=None, calls_init_failures=None, errors=None):
    """Replaces the Novell client's script (and what it saw).

    who_am_i: NWDSWhoAmI's answer (else "[Root]"); tree: the only tree
    NWDSSetContext accepts; objects: {"cn=u.ou=s.o=a": ["cn=staff.o=a", ...]},
    each object's "Group Membership" in order, None for an object without it
    (a value starting "!" cannot be read); calls_init_failures: how many times
    NWCallsInit fails first; errors: {"NWDSRead": -601, ...}, the function's
    result instead of its work (NWLlocaleconv: a null pointer).
    """
    subkeys = {rf"Objects\{name}": {"Group Membership": None if groups is None else list(groups)}
               for name, groups in (objects or {}).items()}
    if errors:
        subkeys["Errors"] = dict(errors)
    _replace_key(NOVELL_KEY, {"WhoAmI": who_am_i, "Tree": tree, "CallsInitFailures": calls_init_failures},
                 subkeys)


def novell_seen(name):
    """What the client was last asked for: "Tree", "NameContext" or "Read"
    (an object name); None when it was not asked."""
    value = kestrin.reg_query(NOVELL_KEY + r"\Seen", name)
    return value[1] if value else None


# --- every stand-in --------------------------------------------------------------

def call_count(function):
    """How often the stand-ins' function (e.g. "NameTranslate.Set") was called."""
    value = kestrin.reg_query(CALLS_KEY, function)
    return int(value[1], 16) if value else 0


def clear():
    """Deletes the whole script and the call counts: the stand-ins answer as
    Wine does again (the event system: stores, nothing stored)."""
    kestrin.reg_import([f"[-{_reg_key(key)}]" for key in (WTS_KEY, IPHELPER_KEY, NETAPI_KEY, ADSI_KEY,
                                                            EVENT_SYSTEM_KEY, NOVELL_KEY, CALLS_KEY)])


# --- the Windows Firewall -----------------------------------------------------------

FIREWALL_KEY = ROOT_KEY + r"\Firewall"
# The firewall's manager and open-port classes.
_FIREWALL_CLASSES = ("{304CE942-6E39-40D8-943A-B913C40C9CD4}", "{0CA545C6-37AD-4A6C-BF92-9F7610067EF5}")
_wine_firewall = {}


def install_firewall(folder):
    """Points the firewall's classes at the stand-in (firewall.dll) beside the
    program, remembering Wine's own server of each for uninstall_firewall()."""
    dll = os.path.join(folder, "firewall.dll")
    shutil.copy(os.path.join(STANDINS, "firewall.dll"), dll)
    for clsid in _FIREWALL_CLASSES:
        server = _class_key(clsid) + r"\InprocServer32"
        _wine_firewall.setdefault(clsid, kestrin.reg_query(server, "(Default)"))
        kestrin.wine("reg", "add", server, "/ve", "/d", kestrin.windows_path(dll), "/f", check=True)


def uninstall_firewall():
    for clsid, previous in _wine_firewall.items():
        server = _class_key(clsid) + r"\InprocServer32"
        if previous:
            kestrin.wine("reg", "add", server, "/ve", "/d", previous[1], "/f", check=True)
    kestrin.reg_delete_key(FIREWALL_KEY)


def script_firewall(current=1, enabled=None, errors=None):
    """A firewall with no open ports: current is the profile in force (0
    Domain, 1 Standard); enabled: {"Domain": False, ...} (on by default);
    errors: {"IsPortAllowed": 0x80070005, "Add.Current": ..., ...}."""
    subkeys = {name: {"Enabled": int(on)} for name, on in (enabled or {}).items()}
    if errors:
        subkeys["Errors"] = dict(errors)
    _replace_key(FIREWALL_KEY, {"CurrentProfile": current}, subkeys)


def firewall_ports(profile):
    """{"1305/17": name} of the profile's ("Domain", "Standard") open ports."""
    out = kestrin.wine("reg", "query", rf"{FIREWALL_KEY}\{profile}\Ports", "/s").stdout
    ports = {}
    for block in re.split(r"\r?\n(?=HKEY_)", out):
        key = re.match(r"HKEY_.*\\Ports\\(\d+/\d+)", block)
        name = re.search(r"^\s*Name\s+REG_SZ\s+(.*?)\s*$", block, re.M)
        if key and name:
            ports[key.group(1)] = name.group(1)
    return ports
