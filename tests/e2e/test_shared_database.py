"""Two gateways on one PostgreSQL database (DatabaseServer): a sender deferred
at one passes on its retry at the other, simultaneous first attempts leave
one row, a stopped server defers senders until it is back, and the hourly
purge and the daily report run once when both gateways reach minute 0."""
import calendar
import contextlib
import os
import re
import signal
import shutil
import smtplib
import subprocess
import tempfile
import threading
import time
import unittest

import brenvik_e2e as e2e

SECOND_HOST = "127.0.0.4"
pg = backend = first = second = None
conninfo = ""


def setUpModule():
    global pg, backend, first, second, conninfo
    e2e.require_binary()
    pg = e2e.PgServer()
    try:
        conninfo = pg.createdb("shared")
        backend = e2e.AioBackend()
        shared = {"DatabaseServer": conninfo}
        first = e2e.Gateway(backend.port, database=None, settings=shared)
        # The first gateway made the tables; the second reads the lists at its start.
        e2e.psql(conninfo, "INSERT INTO SpamSystem (what, Typ) VALUES ('%s', 1)" % e2e.ACCEPTED_DOMAIN)
        second = e2e.Gateway(backend.port, database=None,
                             settings=dict(shared, RecvHost=SECOND_HOST,
                                           RecvPort=e2e.free_port(SECOND_HOST)))
    except Exception:
        tearDownModule()
        raise


def tearDownModule():
    try:
        for gateway in (first, second):
            if gateway:
                gateway.finish()
    finally:
        if backend:
            backend.stop()
        if pg:
            pg.remove()


def mail_reply(gateway, sender):
    with smtplib.SMTP(gateway.host, gateway.port, local_hostname="client.test",
                      source_address=(e2e.CLIENT_HOST, 0), timeout=e2e.IO_TIMEOUT) as c:
        c.ehlo("client.test")
        reply = c.mail(sender)
        c.docmd("QUIT")
        return reply


def rows(key):
    return e2e.psql(conninfo, "SELECT Email, WieOft FROM Liste WHERE Email = '%s'" % key)


class SharedDatabaseTest(unittest.TestCase):
    def test_retry_at_the_other_gateway_is_delivered(self):
        sender = "moved.retry@example.org"
        self.assertEqual(mail_reply(first, sender), (451, b"Try later..."))
        with smtplib.SMTP(second.host, second.port, local_hostname="client.test",
                          source_address=(e2e.CLIENT_HOST, 0), timeout=e2e.IO_TIMEOUT) as c:
            c.sendmail(sender, ["user@example.com"], b"Subject: moved\r\n\r\nHello.\r\n")
        self.assertTrue(e2e.wait_until(lambda: backend.find(sender)))
        self.assertEqual(rows(sender.upper()), [[sender.upper(), "2"]])

    def test_simultaneous_first_attempts_leave_one_row(self):
        sender = "burst@example.org"
        start = threading.Barrier(8)
        replies = []

        def attempt(gateway):
            start.wait(e2e.IO_TIMEOUT)
            replies.append(mail_reply(gateway, sender)[0])

        threads = [threading.Thread(target=attempt, args=((first, second)[i % 2],)) for i in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(e2e.IO_TIMEOUT)
        self.assertEqual(len(replies), 8)
        self.assertIn(451, replies)
        self.assertEqual(len(rows(sender.upper())), 1)

    def test_stopped_server_under_load_defers_everyone_until_it_is_back(self):
        known = ["known%d.before@example.org" % i for i in range(4)]
        for sender in known + known:  # first attempt, then the retry that passes
            mail_reply(first, sender)
        self.assertEqual(mail_reply(first, known[0])[0], 250)
        done = threading.Event()
        replies = []  # (sent, answered, code), monotonic seconds

        def session(sender):
            with smtplib.SMTP(first.host, first.port, local_hostname="client.test",
                              source_address=(e2e.CLIENT_HOST, 0), timeout=e2e.IO_TIMEOUT) as c:
                c.ehlo("client.test")
                for _ in range(20000):
                    if done.is_set():
                        return
                    sent = time.monotonic()
                    code = c.mail(sender)[0]
                    if code == 421:  # the error limit counts deferrals: a new session
                        return
                    replies.append((sent, time.monotonic(), code))
                    c.rset()

        def load(sender):
            for _ in range(1000):
                if done.is_set():
                    break
                try:
                    session(sender)
                except (smtplib.SMTPServerDisconnected, ConnectionError):
                    pass

        def count(condition):
            return sum(1 for r in list(replies) if condition(r))

        workers = [threading.Thread(target=load, args=(sender,)) for sender in known]
        for w in workers:
            w.start()
        try:
            self.assertTrue(e2e.wait_until(lambda: count(lambda r: r[2] == 250) >= 8))
            pg.stop()
            down = time.monotonic()
            try:
                self.assertEqual(mail_reply(first, "new.meanwhile@example.org")[0], 451)
                self.assertTrue(e2e.wait_until(lambda: count(lambda r: r[0] > down) >= 40))
            finally:
                up = time.monotonic()
                pg.start()
            # Reconnects are spaced while the server is away: poll, bounded.
            self.assertTrue(e2e.wait_until(lambda: count(lambda r: r[0] > up and r[2] == 250) >= 4,
                                           e2e.START_TIMEOUT))
        finally:
            done.set()
            for w in workers:
                w.join(e2e.IO_TIMEOUT)
        outage = [r[2] for r in replies if r[0] > down and r[1] < up]
        self.assertGreater(len(outage), 0)
        self.assertEqual(set(outage), {451})
        output = first.stderr_text()
        self.assertEqual(output.count("database server unreachable"), 1, output)
        self.assertEqual(output.count("database server reachable again"), 1, output)


FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1"  # the variant for threads
PASS_TIMEOUT = 30.0  # a maintenance pass every 5 s; the clock is set 2 s before the slot
# Greylist rows (Email, WieOft, LastEdit) for a purge at 07:00 on 8 December,
# whose cut-off is 01:00: first attempts before it go, the rest stays.
STALE = [("NOVEMBER@X.EXAMPLE", 1, "2026-11-20 10:00:00"), ("EVENING@X.EXAMPLE", 1, "2026-12-07 22:00:00"),
         ("NIGHT@X.EXAMPLE", 1, "2026-12-08 00:59:59")]
KEPT = [("ATCUTOFF@X.EXAMPLE", 1, "2026-12-08 01:00:00"), ("MORNING@X.EXAMPLE", 1, "2026-12-08 06:00:00"),
        ("ACCEPTED@X.EXAMPLE", 2, "2026-11-01 10:00:00"), ("@friend.example", None, None)]
# What each gateway does to the jobs' tables, by its connection name: every
# claim of a JobSlot row, also one that finds it taken, and every purge (a
# DELETE from Liste, which nothing else sends), also one that finds nothing.
JOB_LOG = """CREATE TABLE JobLog (What text, Gateway text);
CREATE FUNCTION note_job() RETURNS trigger LANGUAGE plpgsql AS $$BEGIN
  IF TG_LEVEL = 'ROW' THEN
    INSERT INTO JobLog VALUES ('claim ' || NEW.Slot, current_setting('application_name'));
  ELSE
    INSERT INTO JobLog VALUES ('purge', current_setting('application_name'));
  END IF;
  RETURN NEW;
END$$;
CREATE TRIGGER note_claim BEFORE INSERT ON JobSlot FOR EACH ROW EXECUTE FUNCTION note_job();
CREATE TRIGGER note_purge AFTER DELETE ON Liste FOR EACH STATEMENT EXECUTE FUNCTION note_job();"""


def faketime_preload():
    """libfaketime, behind the sanitizer runtime the binary links (which
    refuses to start when it is not the first library)."""
    linked = subprocess.run(["ldd", e2e.BRENVIK], capture_output=True, text=True, timeout=60).stdout
    return " ".join(re.findall(r"=> (\S*/lib[at]san\.so[.\d]*) ", linked) + [FAKETIME_LIB])


class SlotsAtMinuteZeroTest(unittest.TestCase):
    """Two gateways whose wall clock, and only theirs, libfaketime takes to
    minute 0 of a slot, then to the next slot. A gateway's maintenance is one
    thread, so its claim of the next slot shows that its pass at the first
    one is over: only then is "once" counted. The offset is read from a file
    at every call, so the test moves both clocks at once; monotonic time
    stays real, so pauses and time-outs are not cut short by a jump."""

    def setUp(self):
        if not os.path.exists(FAKETIME_LIB):
            raise unittest.SkipTest("libfaketime not installed (package faketime)")
        folder = tempfile.mkdtemp(prefix="brenvik-clock-")
        self.addCleanup(shutil.rmtree, folder, True)
        self.clock = os.path.join(folder, "faketime.rc")
        self.set_clock("2026-12-08 00:30:00")  # no job at minute 30
        name = self.id().rsplit(".", 1)[1]
        self.conninfo = pg.createdb(name)
        self.mailbox = name.replace("_", ".") + "@example.com"
        env = {"LD_PRELOAD": faketime_preload(), "FAKETIME_TIMESTAMP_FILE": self.clock, "FAKETIME_NO_CACHE": "1",
               "FAKETIME_DONT_FAKE_MONOTONIC": "1", "TZ": "UTC0"}
        self.gateways = []
        self.addCleanup(self.stop_gateways)
        for gateway, host in (("first", e2e.RECV_HOST), ("second", SECOND_HOST)):
            settings = {"DatabaseServer": self.conninfo + " application_name=" + gateway,
                        "RecvHost": host, "RecvPort": e2e.free_port(host),
                        "GarbageCollector": 1, "StatusMail": self.mailbox}
            self.gateways.append(e2e.Gateway(backend.port, database=None, settings=settings, env=env))
        e2e.psql(self.conninfo, JOB_LOG)
        values = ", ".join("('%s', %s, %s)" % (email, "NULL" if n is None else n, "NULL" if t is None else "'%s'" % t)
                           for email, n, t in STALE + KEPT)
        e2e.psql(self.conninfo, "INSERT INTO Liste (Email, WieOft, LastEdit) VALUES " + values)

    def set_clock(self, when):
        """The gateways' time becomes `when` (UTC, as their TZ) and runs on."""
        offset = calendar.timegm(time.strptime(when, "%Y-%m-%d %H:%M:%S")) - round(time.time())
        with open(self.clock + ".new", "w") as f:
            f.write("%+d\n" % offset)
        os.replace(self.clock + ".new", self.clock)  # never a half-written offset

    def stop_gateways(self):
        """Both stop sequences at once; raises as Gateway.finish does."""
        gateways, self.gateways = self.gateways, []
        for gateway in gateways:
            if gateway.running():
                gateway.proc.send_signal(signal.SIGTERM)
        failures = []
        for gateway in gateways:
            try:
                gateway.finish()
            except AssertionError as failure:
                failures.append(str(failure))
            # libfaketime removes these in exit(); brenvik ends with _exit().
            for name in ("faketime_shm_%d", "sem.faketime_sem_%d"):
                with contextlib.suppress(FileNotFoundError):
                    os.remove("/dev/shm/" + name % gateway.proc.pid)
        if failures:
            raise AssertionError("\n".join(failures))

    def query(self, sql):
        return e2e.psql(self.conninfo, sql)

    def pass_slot(self, when, slot):
        """Sets the clocks to `when` and waits until both gateways claimed `slot`."""
        self.set_clock(when)
        claimed = lambda: {g for g, in self.query("SELECT Gateway FROM JobLog WHERE What = 'claim %s'" % slot)}
        self.assertTrue(e2e.wait_until(lambda: claimed() == {"first", "second"}, PASS_TIMEOUT, 0.1),
                        "claims of %r: %r" % (slot, claimed()))
        for gateway in self.gateways:
            self.assertTrue(gateway.running(), gateway.stderr_text())

    def purged(self):
        return sorted(e for e, in self.query("SELECT Email FROM Liste")) == sorted(e for e, _, _ in KEPT)

    def assert_purged_once(self):
        self.assertTrue(self.purged(), self.query("SELECT Email FROM Liste"))
        self.assertEqual(self.query("SELECT SpamCount, SpamDate FROM Statistik"),
                         [[str(len(STALE)), "2026-12-08"]])
        purges = self.query("SELECT Gateway FROM JobLog WHERE What = 'purge'")
        self.assertEqual(len(purges), 1, purges)

    def reports(self):
        return [e for e in backend.messages() if e[1] == [self.mailbox]]

    def assert_report_once(self, yesterday):
        reports = self.reports()
        self.assertEqual(len(reports), 1, reports)
        self.assertEqual(reports[0][0], "brenvik@localhost")
        self.assertIn(b"Brenvik hat gestern %d Spammails vernichtet!" % yesterday, reports[0][2])

    def assert_claims(self, slots):
        """Each gateway claimed each slot once, in its minute 0; one row each."""
        self.assertEqual(sorted(self.query("SELECT What, Gateway FROM JobLog WHERE What LIKE 'claim %'")),
                         sorted(["claim " + s, g] for s in slots for g in ("first", "second")))
        self.assertEqual(sorted(s for s, in self.query("SELECT Slot FROM JobSlot")), sorted(slots))

    def test_purge_counted_once_then_reported(self):
        self.pass_slot("2026-12-08 06:59:58", "purge 12-08-2026 7")
        self.pass_slot("2026-12-09 00:59:58", "report 12-09-2026")
        self.assert_purged_once()
        self.assertTrue(e2e.wait_until(self.reports, PASS_TIMEOUT))
        self.stop_gateways()
        self.assert_report_once(yesterday=len(STALE))
        self.assert_claims(["purge 12-08-2026 7", "report 12-09-2026"])

    def test_report_mailed_once_then_purge(self):
        self.pass_slot("2026-12-08 00:59:58", "report 12-08-2026")
        self.pass_slot("2026-12-08 06:59:58", "purge 12-08-2026 7")
        self.assert_report_once(yesterday=0)
        # Stopped only after the purge's last statement, the delete, which a stop would cut.
        self.assertTrue(e2e.wait_until(self.purged, PASS_TIMEOUT, 0.1))
        self.stop_gateways()
        self.assert_purged_once()
        self.assert_claims(["report 12-08-2026", "purge 12-08-2026 7"])


if __name__ == "__main__":
    unittest.main()
