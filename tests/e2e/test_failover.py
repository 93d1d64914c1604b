"""Two gateways on a PostgreSQL primary with a synchronous streaming standby,
under load. When the primary is lost, frozen, or its synchronous standby is,
every MAIL is answered within the deadline plus one connect attempt, only
451 while no server answers; both gateways decide again soon after the
standby is promoted (the frozen primary left frozen); each change is told
once; no committed row is lost; and no gateway holds connections to two
servers, not even when the old primary comes back as a primary."""
import collections
import os
import re
import signal
import smtplib
import threading
import time
import unittest

import brenvik_e2e as e2e

SECOND_HOST = "127.0.0.4"
DEADLINE = 2.0                       # DatabaseTimeout's default
CONNECT = 5.0                        # connect_timeout the gateway gives libpq
BOUND = DEADLINE + CONNECT + 1.5     # one answer at most; the rest is a loaded machine's slack
RECOVERY = 20.0                      # both gateways deciding again after a promotion
KNOWN = ["known%d@before.example" % i for i in range(4)]  # pass the greylist at once
backend = None


def setUpModule():
    global backend
    e2e.require_binary()
    backend = e2e.AioBackend()


def tearDownModule():
    if backend:
        backend.stop(no_assert=True)


def psql(server, sql):
    return e2e.psql("host=%s port=5432 dbname=greylist user=brenvik" % server.folder, sql)


class Cluster:
    """A primary, a synchronous standby made with pg_basebackup, and two
    gateways whose DatabaseServer lists both, writable one first."""

    def __init__(self, case):
        self.primary = e2e.PgServer()
        case.addCleanup(self.primary.remove)
        self.primary.createdb("greylist")
        self.standby = e2e.PgServer(standby_of=self.primary)
        case.addCleanup(self.standby.remove)
        psql(self.primary, "ALTER SYSTEM SET synchronous_standby_names = '*'")
        psql(self.primary, "SELECT pg_reload_conf()")
        hosts = "host=%s,%s port=5432,5432 dbname=greylist user=brenvik target_session_attrs=read-write" % (
            self.primary.folder, self.standby.folder)
        self.gateways = []
        for name, host in (("gw1", e2e.RECV_HOST), ("gw2", SECOND_HOST)):
            g = e2e.Gateway(backend.port, database=None,
                            settings={"DatabaseServer": hosts + " application_name=" + name,
                                      "RecvHost": host, "RecvPort": e2e.free_port(host)})
            case.addCleanup(g.finish)
            self.gateways.append(g)
            if name == "gw1":  # it made the tables; the second reads the lists at its start
                psql(self.primary, "INSERT INTO SpamSystem (what, Typ) VALUES ('%s', 1)" % e2e.ACCEPTED_DOMAIN)
        for sender in KNOWN + KNOWN:
            for g in self.gateways:
                mail_code(g, sender)

    def sessions(self, server):
        """Which gateways hold connections to `server` now."""
        return {row[0] for row in psql(server, "SELECT application_name FROM pg_stat_activity "
                                               "WHERE application_name LIKE 'gw_'")}


def mail_code(gateway, sender):
    with smtplib.SMTP(gateway.host, gateway.port, local_hostname="client.test",
                      source_address=(e2e.CLIENT_HOST, 0), timeout=e2e.IO_TIMEOUT) as c:
        c.ehlo("client.test")
        return c.mail(sender)[0]


class Load:
    """Two clients per gateway: each MAIL alternates a known sender (250
    while the database answers) and a new one (451, its row stored)."""

    def __init__(self, cluster):
        self.answers = []  # (gateway index, sent, answered, code, sender)
        self.done = threading.Event()
        self.threads = [threading.Thread(target=self._client, args=(i, n), daemon=True)
                        for i in range(len(cluster.gateways)) for n in range(2)]
        self.gateways = cluster.gateways
        for t in self.threads:
            t.start()

    def _session(self, index, sequence):
        g = self.gateways[index]
        with smtplib.SMTP(g.host, g.port, local_hostname="client.test",
                          source_address=(e2e.CLIENT_HOST, 0), timeout=30) as c:
            c.ehlo("client.test")
            while not self.done.is_set():
                n = next(sequence)
                sender = KNOWN[n % len(KNOWN)] if n % 2 else "new%d.%d@load.example" % (index, n)
                sent = time.monotonic()
                code = c.mail(sender)[0]
                if code == 421:  # the error limit counts deferrals: a new session
                    return
                self.answers.append((index, sent, time.monotonic(), code, sender))
                c.rset()

    def _client(self, index, number):
        sequence = iter(range(number * 10**6, (number + 1) * 10**6))
        while not self.done.is_set():
            try:
                self._session(index, sequence)
            except (smtplib.SMTPException, OSError):
                pass

    def stop(self):
        self.done.set()
        for t in self.threads:
            t.join(40)

    def since(self, moment):
        return [a for a in list(self.answers) if a[1] > moment]

    def deciding(self, moment):
        """True once every gateway accepted a known sender after `moment`."""
        return {a[0] for a in self.since(moment) if a[3] == 250} == set(range(len(self.gateways)))


class FailoverTest(unittest.TestCase):
    def run_outage(self, cluster, break_primary, recover):
        """Load, break, recover; returns (answers, when broken, when recovered)."""
        load = Load(cluster)
        self.addCleanup(load.stop)
        self.assertTrue(e2e.wait_until(lambda: load.deciding(0), 30), "no decisions before the outage")
        stored = {a[4] for a in load.answers if a[3] == 451}  # committed before the break
        down = time.monotonic()
        break_primary()
        self.assertTrue(e2e.wait_until(lambda: len(load.since(down + BOUND)) >= 8, 60))
        up = time.monotonic()
        recover()
        self.assertTrue(e2e.wait_until(lambda: load.deciding(up), RECOVERY), "no decisions after recovery")
        load.stop()
        answers = load.since(down)
        slowest = max(answers, key=lambda a: a[2] - a[1])
        self.assertLessEqual(slowest[2] - slowest[1], BOUND,
                             (slowest, "broken at +0, recovery at +%.1f s" % (up - down), [
                                 (a[0], round(a[1] - down, 2), round(a[2] - a[1], 2), a[3], a[4])
                                 for a in answers if a[2] - a[1] > DEADLINE + 0.5]))
        outage = collections.Counter(a[3] for a in answers if down + BOUND < a[1] and a[2] < up)
        self.assertEqual(set(outage), {451}, outage)
        return stored

    def assert_events(self, cluster, down, up):
        for g in cluster.gateways:
            output = g.stderr_text()
            self.assertEqual([output.count(text) for text in down], [1] * len(down), output[-3000:])
            self.assertEqual([output.count(text) for text in up], [1] * len(up), output[-3000:])

    def assert_rows_kept(self, server, senders):
        keys = {row[0] for row in psql(server, "SELECT Email FROM Liste")}
        self.assertEqual({s.upper() for s in senders} - keys, set())

    def test_hard_stop_then_promotion_and_the_old_primary_back_as_a_primary(self):
        cluster = Cluster(self)
        stored = self.run_outage(cluster, cluster.primary.crash, cluster.standby.promote)
        self.assert_rows_kept(cluster.standby, stored)
        self.assert_events(cluster, ["database server unreachable"], ["database server reachable again"])
        self.assertEqual(cluster.sessions(cluster.standby), {"gw1", "gw2"})
        # The split: the old primary started again as a primary (as it must
        # not be). New connections go to it, first in the list; each gateway
        # follows with all of its connections, never holding both.
        cluster.primary.start()
        load = Load(cluster)
        self.addCleanup(load.stop)
        for pid in [int(r[0]) for r in psql(cluster.standby, "SELECT pid FROM pg_stat_activity "
                                                            "WHERE application_name LIKE 'gw_'")][:2]:
            psql(cluster.standby, "SELECT pg_terminate_backend(%d)" % pid)
        both = []
        for _ in range(30):
            on_primary, on_standby = cluster.sessions(cluster.primary), cluster.sessions(cluster.standby)
            both.append(on_primary & on_standby & cluster.sessions(cluster.primary))
            time.sleep(0.1)  # a sample every 100 ms, not a synchronisation
        load.stop()
        self.assertEqual([b for b in both if b], [])

    def test_frozen_primary_left_frozen_while_the_standby_is_promoted(self):
        cluster = Cluster(self)
        frozen = []

        def freeze():
            frozen.extend(cluster.primary.pids())
            for pid in frozen:
                os.kill(pid, signal.SIGSTOP)

        def thaw_and_stop():
            for pid in frozen:
                os.kill(pid, signal.SIGKILL)
        self.addCleanup(thaw_and_stop)
        stored = self.run_outage(cluster, freeze, cluster.standby.promote)
        self.assert_rows_kept(cluster.standby, stored)
        self.assert_events(cluster, ["database server not answering"], ["database server answering again"])
        for g in cluster.gateways:
            self.assertIn("every database connection now goes to: " + cluster.standby.folder, g.stderr_text())

    def test_synchronous_standby_lost(self):
        cluster = Cluster(self)

        def clear_synchronous_standby():
            psql(cluster.primary, "ALTER SYSTEM RESET synchronous_standby_names")
            psql(cluster.primary, "SELECT pg_reload_conf()")
        stored = self.run_outage(cluster, cluster.standby.crash, clear_synchronous_standby)
        self.assert_rows_kept(cluster.primary, stored)
        self.assert_events(cluster, ["database server not answering"], ["database server answering again"])


if __name__ == "__main__":
    unittest.main()
