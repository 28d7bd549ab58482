"""Utilities of the velk package."""
