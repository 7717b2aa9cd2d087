"""Checking series one group at a time: quarnex.check.series under its former name."""

from quarnex.check.series import SUMMARY_META, check_table, summary

__all__ = ["check_table", "summary", "SUMMARY_META"]
