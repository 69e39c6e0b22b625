"""The example viewer: server, guards, document work, rendering, window and encryption command."""
